#pragma once
// The indexes of our RealMedia files: the one kept inside the header, which
// lists the seek stream's key frames while the file is being written, and the
// full index, a chunk per stream, written after the data.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/rm/rm_format.h"
#include "engine/rm/written_stream.h"

namespace velmora::encoder::rm {

// Key frames listed in the index kept inside the header, which also holds
// one entry for the end (see HeaderIndex::entries()).
inline constexpr std::size_t kHeaderIndexEntries = 16;

// The seek stream's entries for the header: every n-th one, at most
// kHeaderIndexEntries of them; when full, every other one goes and n doubles.
class HeaderIndex {
  public:
    void add(const IndexEntry& entry);

    // Always kHeaderIndexEntries + 1 entries, so that the header's size never
    // changes: the places after the entries, one at least, hold the end of
    // the media (`endMs`) at the last entry's place, or the first packet
    // (at `firstPacketOffset`) before there is one. VLC seeks to the entry
    // before the first one later than the time asked and gives up when there
    // is none, so without the end a time after the last key frame plays from
    // the start. The end points at that key frame, not past it: FFmpeg
    // bisects between index entries and would find no key frame between the
    // last one and the end of the data.
    std::vector<IndexEntry> entries(std::uint32_t endMs, std::uint32_t firstPacketOffset) const;

  private:
    std::vector<IndexEntry> kept_;
    std::size_t every_ = 1;
    std::size_t offered_ = 0;
};

// The full index starting at `start`: a chunk per stream, each pointing at the
// next. None when it would end past the largest offset the format can hold.
std::optional<std::vector<Bytes>> indexChunks(const std::vector<WrittenStream>& streams,
                                              std::uint64_t start);

}  // namespace velmora::encoder::rm
