#include "options.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "cli_text.h"
#include "texts/encoder_texts.h"

namespace velmora::tool {

using namespace velmora::encoder;
namespace cli = velmora::encoder::text::cli;

namespace {

std::optional<std::int32_t> parseChoice(std::string_view value, std::int32_t none) {
    if (value == "none") return none;
    if (value.size() == 1 && value[0] >= '0' && value[0] <= '3') return value[0] - '0';
    return std::nullopt;
}

// An empty name anywhere in the list ("56k," as much as ",56k") is refused:
// it is more likely a slip than a wish.
std::string parseAudiences(std::string_view list, AudienceSet& set) {
    set.reset();
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = list.find(',', begin);
        const std::string_view item =
            list.substr(begin, comma == std::string_view::npos ? comma : comma - begin);
        if (item.empty()) return cli::kEmptyAudience;
        const auto audience = audienceForKey(item);
        if (!audience) return text::withSubject(cli::kUnknownAudience, shown(item));
        set.set(static_cast<std::size_t>(*audience));
        if (comma == std::string_view::npos) return {};
        begin = comma + 1;
    }
}

// "K/N" with 0 <= K < N, in plain decimal digits.
bool parseShard(std::string_view value, Shard& shard) {
    const std::size_t slash = value.find('/');
    if (slash == std::string_view::npos) return false;
    const auto number = [](std::string_view digits, int& out) {
        const char* end = digits.data() + digits.size();
        return !digits.empty() && digits[0] != '+' &&
               std::from_chars(digits.data(), end, out).ptr == end;
    };
    int index = 0, count = 0;
    if (!number(value.substr(0, slash), index) || !number(value.substr(slash + 1), count) ||
        index < 0 || index >= count)
        return false;
    shard = {index, count};
    return true;
}

}  // namespace

std::string parse(int argc, char** argv, Options& options) {
    options.job.audiences = audienceSet({Audience::Dsl256K});
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string_view(argv[++i]);
        };
        if (arg == "--audience") {
            const auto v = value();
            if (!v) return cli::kAudienceNeedsValue;
            if (std::string error = parseAudiences(*v, options.job.audiences); !error.empty())
                return error;
        } else if (arg == "--audio-content" || arg == "--video-quality") {
            const auto v = value();
            const bool audio = arg == "--audio-content";
            const auto choice =
                v ? parseChoice(*v, audio ? std::int32_t{NoAudio} : std::int32_t{NoVideo})
                  : std::nullopt;
            if (!choice) return std::string(arg) + cli::kChoiceRange;
            (audio ? options.job.audioContent : options.job.videoQuality) = *choice;
        } else if (arg == "--muxer") {
            const auto v = value();
            if (v == "ffmpeg") {
                options.job.makeWriter = writerFactory(Muxer::Ffmpeg);
            } else if (v == "ours") {
                options.job.makeWriter = writerFactory(Muxer::Own);
            } else {
                return cli::kMuxerValues;
            }
        } else if (arg == "--title" || arg == "--author" || arg == "--copyright" ||
                   arg == "--comment") {
            const auto v = value();
            if (!v) return std::string(arg) + cli::kTagNeedsValue;
            MediaMetadata& tags = options.job.metadata;
            *(arg == "--title"       ? &tags.title
              : arg == "--author"    ? &tags.author
              : arg == "--copyright" ? &tags.copyright
                                     : &tags.comment) = *v;
        } else if (arg == "--output-dir") {
            const auto v = value();
            if (!v || v->empty()) return cli::kOutputDirNeedsValue;
            options.outputDir = *v;
        } else if (arg == "--overwrite") {
            options.overwrite = true;
        } else if (arg == "--skip-existing") {
            options.skipExisting = true;
        } else if (arg == "--shard") {
            const auto v = value();
            if (!v || !parseShard(*v, options.shard)) return cli::kShardValue;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--print-plan") {
            options.printPlan = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
            return {};
        } else if (arg == "--") {
            for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return text::withSubject(cli::kUnknownOption, shown(arg));
        } else {
            positional.emplace_back(arg);
        }
    }
    if (options.outputDir.empty()) {
        if (options.overwrite) return std::string("--overwrite") + cli::kNeedsOutputDir;
        if (options.skipExisting) return std::string("--skip-existing") + cli::kNeedsOutputDir;
        if (options.shard.count > 0) return std::string("--shard") + cli::kNeedsOutputDir;
    }
    if (options.printPlan) {
        if (positional.size() != 1 || !options.outputDir.empty()) return cli::kShortUsage;
        options.sources = positional;
    } else if (!options.outputDir.empty()) {
        if (positional.empty()) return cli::kShortUsage;
        options.sources = positional;
    } else {
        if (positional.size() != 2) return cli::kShortUsage;
        options.sources = {positional[0]};
        options.destination = positional[1];
    }
    return {};
}

}  // namespace velmora::tool
