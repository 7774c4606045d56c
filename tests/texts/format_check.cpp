// Compiled, not run: each FORMAT_CASE above 0 is a call whose pattern does not
// fit its arguments, which must not compile; case 0 holds calls that fit.
#include <cstddef>
#include <cstdint>
#include <string>

#include "texts/encoder_texts.h"
#include "texts/format.h"

namespace velmora::encoder::text {

std::string calls(std::int64_t bytes, double seconds, int count, bool wide) {
#if FORMAT_CASE == 0
    return format(cli::kSummaryLine, "a.rm", seconds, static_cast<long long>(bytes), 20.0, "LAN",
                  count, seconds) +
           format(cli::kFileHeader, std::size_t{1}, std::size_t{2}, "a", "b") +
           format(kWarnRate, seconds, 25.0) + format("%3d%% %-5s %c", count, "x", 'y') +
           format("\\x%02x", static_cast<unsigned char>(count)) + format("%.3Lf", 1.0L);
#elif FORMAT_CASE == 1  // one argument short
    return format(cli::kSummaryLine, "a.rm", seconds, static_cast<long long>(bytes), 20.0, "LAN",
                  count);
#elif FORMAT_CASE == 2  // one argument too many
    return format(kWarnGaps, seconds, seconds);
#elif FORMAT_CASE == 3  // a std::int64_t is not a long long, whatever its size here
    return format(cli::kSummaryLine, "a.rm", seconds, bytes, 20.0, "LAN", count, seconds);
#elif FORMAT_CASE == 4  // a std::string where %s reads a C string
    return format(cli::kErrorLine, std::string("a"));
#elif FORMAT_CASE == 5  // an int where %f reads a double
    return format(cli::kSeconds, count);
#elif FORMAT_CASE == 6  // %n writes through its argument
    return format("%s%n", "a", &count);
#elif FORMAT_CASE == 7  // a width taken from the arguments
    return format("%*d", count, count);
#elif FORMAT_CASE == 8  // a size_t where %d reads an int
    return format(cli::kFileHeader, count, std::size_t{2}, "a", "b");
#elif FORMAT_CASE == 9  // a pattern chosen at run time cannot be checked
    return format(wide ? "\\u%04x" : "\\x%02x", static_cast<unsigned>(count));
#endif
    (void)bytes, (void)seconds, (void)count, (void)wide;
}

}  // namespace velmora::encoder::text
