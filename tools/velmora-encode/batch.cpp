#include "batch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace velmora::tool {

using namespace velmora::encoder;

namespace {

// A file's length may differ from its source's by a frame and the sound's
// last packet; a stopped file is shorter by far more.
constexpr std::int64_t kLengthToleranceMs = 500;
// Every header chunk comes before the data; ours take under a kilobyte.
constexpr std::size_t kHeaderBytesRead = 64 * 1024;

// What a RealMedia file's header says of it.
struct HeldFile {
    std::int64_t durationMs = 0, prerollMs = 0, bytes = 0;
    std::uint64_t dataEnd = 0;  // where the packets end, as the header says
    bool video = false, audio = false;
    timespec modified{};
};

// Reads big-endian fields from a header, false once it runs past the end.
class HeaderReader {
  public:
    explicit HeaderReader(std::string_view bytes) : bytes_(bytes) {}
    bool seek(std::size_t at) {
        at_ = at;
        return at_ <= bytes_.size();
    }
    std::size_t at() const { return at_; }
    bool number(int width, std::uint32_t& out) {
        if (at_ + width > bytes_.size()) return false;
        out = 0;
        for (int i = 0; i < width; ++i) out = out << 8 | static_cast<unsigned char>(bytes_[at_++]);
        return true;
    }
    bool text(std::size_t length, std::string_view& out) {
        if (at_ + length > bytes_.size()) return false;
        out = bytes_.substr(at_, length);
        at_ += length;
        return true;
    }

  private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

// The header of a complete chunk list: .RMF, then PROP and a MDPR per
// stream before DATA. Nothing when any of it is missing or out of bounds.
std::optional<HeldFile> parseHeader(std::string_view bytes) {
    HeaderReader in(bytes);
    HeldFile held;
    std::string_view id;
    std::uint32_t size = 0, streams = 0, described = 0;
    bool properties = false;
    if (!in.text(4, id) || id != ".RMF" || !in.number(4, size)) return std::nullopt;
    // Each chunk: its id, its size (counting these 8 bytes) and a version.
    for (std::size_t next = size; in.seek(next);) {
        const std::size_t chunk = next;
        if (!in.text(4, id) || !in.number(4, size) || size < 10) return std::nullopt;
        next = chunk + size;
        if (id == "DATA") {
            held.dataEnd = next;
            break;
        }
        if (id == "PROP") {
            // After the version, four rates and sizes, the packets, the length
            // and the preroll, two offsets, the streams.
            std::uint32_t packets = 0, duration = 0, preroll = 0;
            if (!in.seek(in.at() + 18) || !in.number(4, packets) || !in.number(4, duration) ||
                !in.number(4, preroll) || !in.seek(in.at() + 8) || !in.number(2, streams) ||
                packets == 0)
                return std::nullopt;
            held.durationMs = duration;
            held.prerollMs = preroll;
            properties = true;
        } else if (id == "MDPR") {
            // After the version, the stream's number, seven rates, sizes and
            // times, its name and its type.
            std::uint32_t nameLength = 0, mimeLength = 0;
            std::string_view name, mime;
            if (!in.seek(in.at() + 32) || !in.number(1, nameLength) || !in.text(nameLength, name) ||
                !in.number(1, mimeLength) || !in.text(mimeLength, mime))
                return std::nullopt;
            held.video |= mime == "video/x-pn-realvideo";
            held.audio |= mime == "audio/x-pn-realaudio";
            ++described;
        }
    }
    if (id != "DATA" || !properties || described != streams) return std::nullopt;
    return held;
}

// The header of the RealMedia file at `path`, opened as what it is: a link
// is not followed, and nothing but a regular file is read.
std::optional<HeldFile> readHeld(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::string bytes(kHeaderBytesRead, '\0');
    ssize_t got = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        got = ::pread(fd, bytes.data(), bytes.size(), 0);
    ::close(fd);
    if (got <= 0) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(got));
    std::optional<HeldFile> held = parseHeader(bytes);
    if (held) {
        held->bytes = st.st_size;
        held->modified = st.st_mtim;
    }
    return held;
}

bool notOlder(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec >= b.tv_nsec;
}

}  // namespace

std::vector<std::string> batchOrder(const Options& options) {
    std::vector<std::string> sources = options.sources;
    // std::string compares as unsigned bytes: the order of `LC_ALL=C sort`.
    if (options.shard.count > 0 || options.skipExisting) std::sort(sources.begin(), sources.end());
    return sources;
}

bool inShard(const Shard& shard, std::size_t position) {
    return shard.count == 0 || position % static_cast<std::size_t>(shard.count) ==
                                   static_cast<std::size_t>(shard.index);
}

std::string shardName(const Shard& shard) {
    if (shard.count == 0) return {};
    return std::to_string(shard.index) + "/" + std::to_string(shard.count);
}

bool occupied(const std::string& path, const Options& options) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    // A rerun makes again what an earlier run left: its RealMedia files,
    // and the empty claims of a run killed while it put its files in place.
    const bool emptyClaim = S_ISREG(st.st_mode) && st.st_size == 0;
    return !options.skipExisting || !(emptyClaim || readHeld(path));
}

bool anyPresent(const std::string& destination, AudienceSet audiences) {
    const std::vector<JobFile> files = jobFiles(destination, audiences);
    return std::any_of(files.begin(), files.end(), [](const JobFile& f) {
        struct stat st {};
        return ::lstat(f.destination.c_str(), &st) == 0;
    });
}

std::optional<JobReport> alreadyDone(const JobSettings& job) {
    struct stat source {};
    if (::stat(job.source.c_str(), &source) != 0 || !S_ISREG(source.st_mode)) return std::nullopt;
    const std::vector<JobFile> files = jobFiles(job.destination, job.audiences);
    std::vector<HeldFile> held;
    for (const JobFile& file : files) {
        std::optional<HeldFile> h = readHeld(file.destination);
        // A copy cut short keeps the whole file's header.
        if (!h || h->dataEnd > static_cast<std::uint64_t>(h->bytes) ||
            !notOlder(h->modified, source.st_mtim))
            return std::nullopt;
        held.push_back(*h);
    }
    // Only now is the source opened, for its length and each file's plan.
    SourceFacts facts;
    JobInfo info;
    if (!readJobSource(job, facts) || !planJob(job, facts, info)) return std::nullopt;
    const std::int64_t lengthMs =
        facts.stillPicture
            ? std::max<std::int64_t>(facts.durationMs, std::lround(kStillPictureSeconds * 1000))
            : facts.durationMs;
    if (lengthMs <= 0 || info.files.size() != held.size()) return std::nullopt;
    JobReport report(job.source, job.destination, job.audiences, Result::AlreadyDone);
    for (std::size_t i = 0; i < held.size(); ++i) {
        const EncodePlan& plan = info.files[i].plan;
        if (held[i].video != plan.video.has_value() || held[i].audio != plan.audio.has_value() ||
            std::abs(held[i].durationMs - lengthMs) > kLengthToleranceMs)
            return std::nullopt;
        FileReport& f = report.files[i];
        f.kept = true;
        f.heldMs = held[i].durationMs;
        f.bytes = held[i].bytes;
        f.prerollMs = held[i].prerollMs;
        f.budgetKbps = plan.budgetKbps;
    }
    return report;
}

}  // namespace velmora::tool
