#include "engine/rm/rm_index.h"

namespace velmora::encoder::rm {

void HeaderIndex::add(const IndexEntry& entry) {
    const std::size_t ordinal = offered_++;
    if (ordinal % every_ != 0) return;
    if (kept_.size() == kHeaderIndexEntries) {
        std::vector<IndexEntry> thinned;
        for (std::size_t i = 0; i < kept_.size(); i += 2) thinned.push_back(kept_[i]);
        kept_ = std::move(thinned);
        every_ *= 2;
        if (ordinal % every_ != 0) return;
    }
    kept_.push_back(entry);
}

std::vector<IndexEntry> HeaderIndex::entries(std::uint32_t endMs,
                                             std::uint32_t firstPacketOffset) const {
    std::vector<IndexEntry> out = kept_;
    IndexEntry end = out.empty() ? IndexEntry{0, firstPacketOffset, 0} : out.back();
    if (!out.empty()) end.timestampMs = endMs;
    out.resize(kHeaderIndexEntries + 1, end);
    return out;
}

std::optional<std::vector<Bytes>> indexChunks(const std::vector<WrittenStream>& streams,
                                              std::uint64_t start) {
    std::uint64_t at = start;
    std::vector<Bytes> chunks;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const std::uint64_t size = kIndexHeaderSize + kIndexEntrySize * streams[i].index.size();
        const std::uint64_t next = i + 1 < streams.size() ? at + size : 0;
        if (next > kMaxFileSize || at + size > kMaxFileSize) return std::nullopt;
        chunks.push_back(indexChunk(static_cast<std::uint16_t>(i), streams[i].index,
                                    static_cast<std::uint32_t>(next)));
        at += size;
    }
    return chunks;
}

}  // namespace velmora::encoder::rm
