#pragma once
// The bytes of a source as its demuxer reads them: a regular file's read on
// a thread of its own (SourceFile), so that a stop never waits for a read
// the kernel holds; the source's own bytes, except that a Matroska or WebM
// source's attachments (fonts for its subtitles, cover images) show as
// padding. FFmpeg's Matroska demuxer would read every attachment whole
// while it reads the header and keep several copies of it; as padding, it
// passes over them keeping nothing (a file's it seeks over unread, a
// pipe's it reads and drops piece by piece).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/ffmpeg_ptr.h"
#include "engine/source/source_file.h"

namespace velmora::encoder {

// Where the next element header of interest starts and what becomes of
// it: the walk from the EBML header over the top-level elements to the
// segment's children up to its first cluster. It is given each header in
// turn, read from a file (attachmentsAsVoid) or from a stream as it passes
// (StreamingAttachmentHider), so that both rewrite the same bytes.
class AttachmentWalk {
  public:
    struct Header {
        std::uint32_t id = 0;
        int idLength = 0;
        std::uint64_t size = 0;  // all ones when the element does not say
        int sizeLength = 0;
        std::int64_t length() const {
            return idLength + sizeLength + static_cast<std::int64_t>(size);
        }
    };
    // What `bytes` (`available` of them) start with: 1 with `header` set,
    // 0 when more bytes are needed to tell, -1 when no header starts there.
    static int decode(const std::uint8_t* bytes, std::size_t available, Header& header);

    // The offset of the next header to be given, or -1 once nothing more
    // is to be looked at.
    std::int64_t next() const { return stage_ == Stage::Done ? -1 : next_; }
    // The header at next(), or null when there is none (the bytes end, or
    // no header starts there); returns the bytes to show in its place,
    // empty to leave them.
    std::vector<std::uint8_t> take(const Header* header);

  private:
    enum class Stage { EbmlHeader, BeforeSegment, InSegment, Done };
    void advance(std::int64_t length);
    Stage stage_ = Stage::EbmlHeader;
    std::int64_t next_ = 0;
    std::int64_t segmentEnd_ = 0;
    int seen_ = 0;
};

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

// The same rewrite for bytes read once, in order, from the start (a pipe):
// the bytes pass through it in pieces of any size and come out as
// attachmentsAsVoid's patches would show them. A stream that does not start
// as Matroska does passes unchanged.
class StreamingAttachmentHider {
  public:
    // Rewrites in place the first of `size` bytes at `data` and returns how
    // many of them are settled. Those not (the start of a header not all
    // there yet, at most 11 bytes) are to be given again at the front of
    // the next call, followed by the bytes after them; with `end` set (no
    // bytes follow), all are settled.
    std::size_t pass(std::uint8_t* data, std::size_t size, bool end);
    // Whether every byte from here on passes unchanged.
    bool done() const { return walk_.next() < 0; }

  private:
    AttachmentWalk walk_;
    std::int64_t offset_ = 0;  // of the first byte of the next call
};

// An AVIOContext reading the regular file `file` has opened, with a
// Matroska file's attachments shown as padding; each read waits on `file`'s
// thread and gives up when `interrupt` says stop. Null (with `error` set)
// when it cannot be made. An input context given it frees it with itself
// (InputContextFree); one that failed to open leaves it to
// closeCustomReader. isSourceFileReader() tells such a context from
// FFmpeg's own.
AVIOContext* openSourceFileReader(std::unique_ptr<SourceFile> file, int& error);
bool isSourceFileReader(const AVIOContext* pb);

// The same for a pipe ("pipe:N"), read once as it comes through
// StreamingAttachmentHider: the pipe's reads, their waits and their
// interruption stay FFmpeg's pipe protocol's. Null when it cannot be
// opened, to be opened as usual then; freed as above.
AVIOContext* openAttachmentHidingStream(const std::string& url, const AVIOInterruptCB& interrupt,
                                        const AVDictionary* options);

}  // namespace velmora::encoder
