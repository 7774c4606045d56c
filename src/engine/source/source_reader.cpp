#include "engine/source/source_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace velmora::encoder {

namespace {

constexpr std::uint32_t kEbmlId = 0x1A45DFA3;
constexpr std::uint32_t kSegmentId = 0x18538067;
constexpr std::uint32_t kClusterId = 0x1F43B675;
constexpr std::uint32_t kAttachmentsId = 0x1941A469;
constexpr std::uint8_t kVoidId = 0xEC;
constexpr std::uint64_t kUnknownSize = std::numeric_limits<std::uint64_t>::max();
constexpr int kLongestSizeField = 8;
constexpr int kLongestHeader = 4 + kLongestSizeField;
// Elements looked at before giving up: a real header has a dozen or so.
constexpr int kMostElements = 256;
constexpr int kBufferBytes = 32 * 1024;  // as FFmpeg's file protocol reads

using Header = AttachmentWalk::Header;

// An EBML number's length in bytes from its first byte; 0 for none.
int numberLength(std::uint8_t first) {
    return first == 0 ? 0 : std::countl_zero(first) + 1;
}

// False when there is no whole header at `offset`.
bool readHeader(const ReadAt& readAt, std::int64_t offset, Header& header) {
    std::uint8_t bytes[kLongestHeader] = {};
    const int got = readAt(offset, bytes, sizeof bytes);
    return got > 0 && AttachmentWalk::decode(bytes, static_cast<std::size_t>(got), header) > 0;
}

// A Void element's header announcing `size` bytes, its size field `sizeLength` long.
std::vector<std::uint8_t> voidHeader(std::uint64_t size, int sizeLength) {
    std::vector<std::uint8_t> bytes{kVoidId};
    const std::uint64_t field = std::uint64_t{1} << (7 * sizeLength) | size;
    for (int i = sizeLength - 1; i >= 0; --i)
        bytes.push_back(static_cast<std::uint8_t>(field >> (8 * i)));
    return bytes;
}

void applyPatches(const std::vector<BytePatch>& patches, std::int64_t offset, std::uint8_t* data,
                  int size) {
    for (const BytePatch& patch : patches) {
        const std::int64_t from = std::max(offset, patch.offset);
        const std::int64_t to =
            std::min(offset + size, patch.offset + static_cast<std::int64_t>(patch.bytes.size()));
        for (std::int64_t at = from; at < to; ++at)
            data[at - offset] = patch.bytes[at - patch.offset];
    }
}

// Reads the file through its own thread (SourceFile), at a place of its own.
struct FileReader : CustomReader {
    std::unique_ptr<SourceFile> file;
    std::int64_t position = 0;
    std::vector<BytePatch> patches;
};

FileReader& readerOf(void* opaque) {
    return *static_cast<FileReader*>(static_cast<CustomReader*>(opaque));
}

int readPacket(void* opaque, std::uint8_t* data, int size) {
    FileReader& reader = readerOf(opaque);
    const int got = reader.file->read(reader.position, data, size);
    if (got <= 0) return got == 0 ? AVERROR_EOF : got;
    applyPatches(reader.patches, reader.position, data, got);
    reader.position += got;
    return got;
}

std::int64_t seekTo(void* opaque, std::int64_t offset, int whence) {
    FileReader& reader = readerOf(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) return reader.file->size();
    std::int64_t to = offset;
    if (whence == SEEK_CUR) {
        to = reader.position + offset;
    } else if (whence == SEEK_END) {
        const std::int64_t size = reader.file->size();
        if (size < 0) return size;
        to = size + offset;
    } else if (whence != SEEK_SET) {
        return AVERROR(EINVAL);
    }
    if (to < 0) return AVERROR(EINVAL);
    reader.position = to;
    return to;
}

// Reads the pipe underneath, as FFmpeg's pipe protocol reads it.
struct StreamReader : CustomReader {
    AVIOContext* underneath = nullptr;
    ~StreamReader() override { avio_closep(&underneath); }
    StreamingAttachmentHider hider;
    // Read from the pipe and not yet handed on: [begin, settled) are
    // settled, [settled, end) wait for the bytes after them.
    std::vector<std::uint8_t> staged = std::vector<std::uint8_t>(kBufferBytes);
    std::size_t begin = 0, settled = 0, end = 0;
    bool ended = false;
};

StreamReader& streamOf(void* opaque) {
    return *static_cast<StreamReader*>(static_cast<CustomReader*>(opaque));
}

int readStream(void* opaque, std::uint8_t* data, int size) {
    StreamReader& reader = streamOf(opaque);
    if (reader.begin == reader.end && reader.hider.done()) {
        // Past the header nothing changes: straight through.
        const int got = avio_read_partial(reader.underneath, data, size);
        return got == 0 ? AVERROR_EOF : got;
    }
    while (reader.begin == reader.settled) {
        if (reader.ended) return AVERROR_EOF;
        // What was held back goes to the front, the pipe's next bytes after it.
        std::uint8_t* staged = reader.staged.data();
        std::memmove(staged, staged + reader.settled, reader.end - reader.settled);
        reader.end -= reader.settled;
        reader.begin = reader.settled = 0;
        const int got = avio_read_partial(reader.underneath, staged + reader.end,
                                          static_cast<int>(reader.staged.size() - reader.end));
        if (got < 0 && got != AVERROR_EOF) return got;  // a stop among them
        reader.ended = got <= 0;
        reader.end += static_cast<std::size_t>(std::max(got, 0));
        reader.settled = reader.hider.pass(staged, reader.end, reader.ended);
    }
    const std::size_t n = std::min(static_cast<std::size_t>(size), reader.settled - reader.begin);
    std::copy_n(reader.staged.data() + reader.begin, n, data);
    reader.begin += n;
    return static_cast<int>(n);
}

}  // namespace

int AttachmentWalk::decode(const std::uint8_t* bytes, std::size_t available, Header& header) {
    if (available == 0) return 0;
    const int idLength = numberLength(bytes[0]);
    if (idLength == 0 || idLength > 4) return -1;
    if (available <= static_cast<std::size_t>(idLength)) return 0;
    const int sizeLength = numberLength(bytes[idLength]);
    if (sizeLength == 0) return -1;
    if (available < static_cast<std::size_t>(idLength + sizeLength)) return 0;
    header.id = 0;
    for (int i = 0; i < idLength; ++i) header.id = header.id << 8 | bytes[i];
    const std::uint8_t marker = 0xFF >> sizeLength;
    std::uint64_t size = bytes[idLength] & marker;
    bool allOnes = size == marker;
    for (int i = 1; i < sizeLength; ++i) {
        size = size << 8 | bytes[idLength + i];
        allOnes = allOnes && bytes[idLength + i] == 0xFF;
    }
    header.idLength = idLength;
    header.sizeLength = sizeLength;
    header.size = allOnes ? kUnknownSize : size;
    return 1;
}

void AttachmentWalk::advance(std::int64_t length) {
    next_ += length;
    if (++seen_ == kMostElements || (stage_ == Stage::InSegment && next_ >= segmentEnd_))
        stage_ = Stage::Done;
}

std::vector<std::uint8_t> AttachmentWalk::take(const Header* header) {
    const Stage stage = stage_;
    stage_ = Stage::Done;
    if (!header) return {};
    const bool sized = header->size != kUnknownSize;
    if (stage == Stage::EbmlHeader && header->id == kEbmlId && sized) {
        stage_ = Stage::BeforeSegment;
        next_ = header->length();
    } else if (stage == Stage::BeforeSegment && header->id == kSegmentId) {
        stage_ = Stage::InSegment;
        next_ += header->idLength + header->sizeLength;
        segmentEnd_ = sized ? next_ + static_cast<std::int64_t>(header->size)
                            : std::numeric_limits<std::int64_t>::max();
        seen_ = -1;  // the children are counted afresh
        advance(0);
    } else if (stage == Stage::BeforeSegment && sized) {
        // The segment follows the EBML header, perhaps after padding.
        stage_ = Stage::BeforeSegment;
        advance(header->length());
    } else if (stage == Stage::InSegment && header->id != kClusterId && sized) {
        // An element of unknown size (a live recording's cluster) cannot be
        // stepped over; the clusters, many and large, are not walked.
        stage_ = Stage::InSegment;
        // The 4-byte ID and n-byte size become a 1-byte ID and an
        // (n+3)-byte size of the same value.
        const int voidSizeLength = header->sizeLength + 3;
        std::vector<std::uint8_t> shown;
        if (header->id == kAttachmentsId && voidSizeLength <= kLongestSizeField)
            shown = voidHeader(header->size, voidSizeLength);
        advance(header->length());
        return shown;
    }
    return {};
}

std::vector<BytePatch> attachmentsAsVoid(const ReadAt& readAt) {
    AttachmentWalk walk;
    std::vector<BytePatch> patches;
    for (std::int64_t at; (at = walk.next()) >= 0;) {
        Header header;
        std::vector<std::uint8_t> shown =
            walk.take(readHeader(readAt, at, header) ? &header : nullptr);
        if (!shown.empty()) patches.push_back({at, std::move(shown)});
    }
    return patches;
}

std::size_t StreamingAttachmentHider::pass(std::uint8_t* data, std::size_t size, bool end) {
    const std::int64_t first = offset_;
    for (std::int64_t at;
         (at = walk_.next()) >= 0 && at - first < static_cast<std::int64_t>(size);) {
        const auto from = static_cast<std::size_t>(at - first);
        Header header;
        const int found = AttachmentWalk::decode(
            data + from, std::min<std::size_t>(size - from, kLongestHeader), header);
        if (found == 0 && !end) {
            offset_ += static_cast<std::int64_t>(from);
            return from;
        }
        const std::vector<std::uint8_t> shown = walk_.take(found > 0 ? &header : nullptr);
        std::copy(shown.begin(), shown.end(), data + from);
    }
    offset_ += static_cast<std::int64_t>(size);
    return size;
}

namespace {

// FFmpeg's own reading of the pipe `url` under the layer, with the
// caller's options (the protocol whitelist among them); null when it cannot
// be opened.
AVIOContext* openUnderneath(const std::string& url, const AVIOInterruptCB& interrupt,
                            const AVDictionary* options) {
    AVDictionary* opts = nullptr;
    av_dict_copy(&opts, options, 0);
    AVIOContext* io = nullptr;
    const int ret = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, &interrupt, &opts);
    av_dict_free(&opts);
    return ret < 0 ? nullptr : io;
}

}  // namespace

AVIOContext* openSourceFileReader(std::unique_ptr<SourceFile> file, int& error) {
    auto reader = std::make_unique<FileReader>();
    reader->file = std::move(file);
    SourceFile& source = *reader->file;
    bool stopped = false;
    const auto readAt = [&](std::int64_t offset, std::uint8_t* data, int size) {
        const int got = source.read(offset, data, size);
        stopped = stopped || got == AVERROR_EXIT;
        return got;
    };
    reader->patches = attachmentsAsVoid(readAt);
    if (stopped) {
        error = AVERROR_EXIT;
        return nullptr;
    }
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kBufferBytes));
    AVIOContext* pb = buffer ? avio_alloc_context(buffer, kBufferBytes, 0,
                                                  static_cast<CustomReader*>(reader.get()),
                                                  readPacket, nullptr, seekTo)
                             : nullptr;
    if (!pb) {
        av_free(buffer);
        error = AVERROR(ENOMEM);
        return nullptr;
    }
    reader.release();  // the context's now
    return pb;
}

bool isSourceFileReader(const AVIOContext* pb) {
    return pb && pb->read_packet == readPacket;
}

AVIOContext* openAttachmentHidingStream(const std::string& url, const AVIOInterruptCB& interrupt,
                                        const AVDictionary* options) {
    AVIOContext* pipe = openUnderneath(url, interrupt, options);
    if (!pipe) return nullptr;
    auto* reader = new StreamReader;
    reader->underneath = pipe;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kBufferBytes));
    AVIOContext* pb =
        buffer ? avio_alloc_context(buffer, kBufferBytes, 0, static_cast<CustomReader*>(reader),
                                    readStream, nullptr, nullptr)
               : nullptr;
    if (!pb) {
        // Nothing has been read: the pipe opens as usual after all.
        av_free(buffer);
        delete reader;
    }
    return pb;
}

}  // namespace velmora::encoder
