#pragma once
// The bytes of a source file as its demuxer reads them: the file's own,
// except that a Matroska or WebM file's attachments (fonts for its
// subtitles, cover images) show as padding. FFmpeg's Matroska demuxer
// would read every attachment whole while it reads the header and keep
// several copies of it; as padding, it seeks over them unread.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/ffmpeg_ptr.h"

namespace velmora::encoder {

// A few bytes of the file shown otherwise.
struct BytePatch {
    std::int64_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

// Reads up to `size` bytes at `offset` into `data`: how many it read, 0 at
// the end of the file, negative on failure.
using ReadAt = std::function<int(std::int64_t offset, std::uint8_t* data, int size)>;

// For a file that starts as Matroska does: each Attachments element among
// the segment's children before its first cluster (where muxers put them),
// its header rewritten as a Void element's of exactly the same length, so
// that everything after it stays where it was. An Attachments element
// whose size field is too long to rewrite so (more than five bytes) is left
// as it is; nothing is found in any other file.
std::vector<BytePatch> attachmentsAsVoid(const ReadAt& readAt);

// An AVIOContext reading the file `url` ("file:...", opened with
// `options`) with its attachments shown as padding; null when it has none
// to hide (or cannot be opened), to be opened as usual then. An input
// context given it frees it with itself (InputContextFree); one that failed
// to open leaves it to closeCustomReader.
AVIOContext* openAttachmentHidingReader(const std::string& url, const AVIOInterruptCB& interrupt,
                                        const AVDictionary* options);

}  // namespace velmora::encoder
