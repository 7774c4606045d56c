#include "engine/source_reader.h"

#include <algorithm>
#include <bit>
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
// Elements looked at before giving up: a real header has a dozen or so.
constexpr int kMostElements = 256;
constexpr int kBufferBytes = 32 * 1024;  // as FFmpeg's file protocol reads

struct ElementHeader {
    std::uint32_t id = 0;
    int idLength = 0;
    std::uint64_t size = 0;  // kUnknownSize when the element does not say
    int sizeLength = 0;
    std::int64_t length() const { return idLength + sizeLength + static_cast<std::int64_t>(size); }
};

// An EBML number's length in bytes from its first byte; 0 for none.
int numberLength(std::uint8_t first) {
    return first == 0 ? 0 : std::countl_zero(first) + 1;
}

// False when there is no whole header at `offset`.
bool readHeader(const ReadAt& readAt, std::int64_t offset, ElementHeader& header) {
    std::uint8_t bytes[4 + kLongestSizeField] = {};
    const int got = readAt(offset, bytes, sizeof bytes);
    const int idLength = got > 0 ? numberLength(bytes[0]) : 0;
    if (idLength == 0 || idLength > 4 || got <= idLength) return false;
    const int sizeLength = numberLength(bytes[idLength]);
    if (sizeLength == 0 || got < idLength + sizeLength) return false;
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
    return true;
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

struct HidingReader : CustomReader {
    AVIOContext* file = nullptr;  // the file as the protocol reads it
    std::vector<BytePatch> patches;
};

HidingReader& readerOf(void* opaque) {
    return *static_cast<HidingReader*>(static_cast<CustomReader*>(opaque));
}

int readPacket(void* opaque, std::uint8_t* data, int size) {
    HidingReader& reader = readerOf(opaque);
    const std::int64_t offset = avio_tell(reader.file);
    const int got = avio_read(reader.file, data, size);
    if (got <= 0) return got == 0 ? AVERROR_EOF : got;
    applyPatches(reader.patches, offset, data, got);
    return got;
}

std::int64_t seekTo(void* opaque, std::int64_t offset, int whence) {
    HidingReader& reader = readerOf(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) return avio_size(reader.file);
    return avio_seek(reader.file, offset, whence);
}

void closeReader(AVIOContext* pb) {
    HidingReader* reader = &readerOf(pb->opaque);
    avio_closep(&reader->file);
    delete reader;
    av_freep(&pb->buffer);
    avio_context_free(&pb);
}

}  // namespace

std::vector<BytePatch> attachmentsAsVoid(const ReadAt& readAt) {
    ElementHeader header;
    if (!readHeader(readAt, 0, header) || header.id != kEbmlId || header.size == kUnknownSize)
        return {};
    // The segment follows the EBML header, perhaps after padding.
    std::int64_t at = header.length();
    for (int seen = 0;; ++seen) {
        if (seen == kMostElements || !readHeader(readAt, at, header)) return {};
        if (header.id == kSegmentId) break;
        if (header.size == kUnknownSize) return {};
        at += header.length();
    }
    at += header.idLength + header.sizeLength;
    const std::int64_t segmentEnd = header.size == kUnknownSize
                                        ? std::numeric_limits<std::int64_t>::max()
                                        : at + static_cast<std::int64_t>(header.size);
    std::vector<BytePatch> patches;
    // An element of unknown size (a live recording's cluster) cannot be
    // stepped over; the clusters, many and large, are not walked.
    for (int seen = 0; seen < kMostElements && at < segmentEnd && readHeader(readAt, at, header) &&
                       header.id != kClusterId && header.size != kUnknownSize;
         ++seen) {
        // The 4-byte ID and n-byte size become a 1-byte ID and an
        // (n+3)-byte size of the same value.
        const int voidSizeLength = header.sizeLength + 3;
        if (header.id == kAttachmentsId && voidSizeLength <= kLongestSizeField)
            patches.push_back({at, voidHeader(header.size, voidSizeLength)});
        at += header.length();
    }
    return patches;
}

AVIOContext* openAttachmentHidingReader(const std::string& url, const AVIOInterruptCB& interrupt,
                                        const AVDictionary* options) {
    AVDictionary* opts = nullptr;
    av_dict_copy(&opts, options, 0);
    AVIOContext* file = nullptr;
    const int ret = avio_open2(&file, url.c_str(), AVIO_FLAG_READ, &interrupt, &opts);
    av_dict_free(&opts);
    if (ret < 0) return nullptr;
    const auto readAt = [file](std::int64_t offset, std::uint8_t* data, int size) {
        if (avio_seek(file, offset, SEEK_SET) < 0) return -1;
        const int got = avio_read(file, data, size);
        return got == AVERROR_EOF ? 0 : got;
    };
    std::vector<BytePatch> patches = attachmentsAsVoid(readAt);
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kBufferBytes));
    if (patches.empty() || !buffer || avio_seek(file, 0, SEEK_SET) != 0) {
        av_free(buffer);
        avio_closep(&file);
        return nullptr;
    }
    auto* reader = new HidingReader;
    reader->close = closeReader;
    reader->file = file;
    reader->patches = std::move(patches);
    AVIOContext* pb = avio_alloc_context(
        buffer, kBufferBytes, 0, static_cast<CustomReader*>(reader), readPacket, nullptr, seekTo);
    if (!pb) {
        av_free(buffer);
        avio_closep(&reader->file);
        delete reader;
    }
    return pb;
}

}  // namespace velmora::encoder
