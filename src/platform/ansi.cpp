#include "platform/ansi.h"

#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace velmora::ansi {

namespace {

// glibc knows code page 936 under this name; Windows' 0x80 (the euro sign)
// included.
constexpr char kCodePageName[] = "CP936";
constexpr char kUtf16Name[] = "UTF-16LE";

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using Converter = std::unique_ptr<void, IconvCloser>;

Converter open(const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // Only a system without glibc's gconv modules gets here.
        throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
    return Converter(cd);
}

// Converts `data` with `converter`. Where iconv stops at input it cannot convert,
// `replacement` is written and `skip(rest)` input bytes are passed over.
template <typename Out, typename Skip>
Out convert(const Converter& converter, const char* data, std::size_t size, Out replacement,
            Skip skip) {
    using Unit = typename Out::value_type;
    iconv_t cd = static_cast<iconv_t>(converter.get());
    Out out;
    alignas(char16_t) char buffer[256];
    char* in = const_cast<char*>(data);
    std::size_t inLeft = size;
    auto flush = [&](char* end) {
        out.append(reinterpret_cast<const Unit*>(buffer),
                   static_cast<std::size_t>(end - buffer) / sizeof(Unit));
    };
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        const int error = errno;
        flush(outPtr);
        if (result != static_cast<std::size_t>(-1)) break;
        if (error == E2BIG) continue;
        // EILSEQ: a character the target cannot hold or a malformed
        // sequence; EINVAL: a sequence cut off at the end of the input.
        out.append(replacement);
        const std::size_t n = error == EINVAL ? inLeft : skip(in, inLeft);
        in += n;
        inLeft -= n;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    }
    return out;
}

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

std::string toAnsi(std::u16string_view text) {
    static_assert(std::endian::native == std::endian::little, "UTF-16LE is assumed");
    const Converter cd = open(kCodePageName, kUtf16Name);
    // Skip the whole character: two units for a surrogate pair, else one.
    auto skip = [](const char* at, std::size_t left) -> std::size_t {
        char16_t first;
        std::memcpy(&first, at, sizeof first);
        if (left >= 4 && isHighSurrogate(first)) {
            char16_t second;
            std::memcpy(&second, at + 2, sizeof second);
            if (isLowSurrogate(second)) return 4;
        }
        return left >= 2 ? 2 : left;
    };
    return convert(cd, reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t),
                   std::string("?"), skip);
}

std::string toAnsi(const QString& text) {
    return toAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                      static_cast<std::size_t>(text.size())));
}

std::u16string fromAnsi(std::string_view bytes) {
    const Converter cd = open(kUtf16Name, kCodePageName);
    // A bad lead byte goes alone; so does a lead byte with a bad trail byte,
    // which may itself start the next character.
    auto skip = [](const char*, std::size_t) -> std::size_t { return 1; };
    return convert(cd, bytes.data(), bytes.size(), std::u16string(u"?"), skip);
}

QString toQString(std::string_view bytes) {
    return QString::fromStdU16String(fromAnsi(bytes));
}

}  // namespace velmora::ansi
