#pragma once
// Bytes over media time, in 100 ms slots: the peak bit rate over any one
// second and the preroll a player needs when it receives the stream at its
// average rate. Packets may come slightly out of time order (packed audio is
// written after the video that overlaps it), so the preroll follows where in
// the file each slot's last packet ends, not the bytes of the slots before it.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::encoder::rm {

class RateMeter {
  public:
    static constexpr std::uint32_t kSlotMs = 100;
    static constexpr std::size_t kWindowSlots = 10;  // one second
    // Times past a day share the last slot, so a wild timestamp cannot eat memory.
    static constexpr std::size_t kMaxSlots = 24 * 3600 * 1000 / kSlotMs;

    void add(std::uint32_t timestampMs, std::uint32_t bytes);

    std::uint64_t totalBytes() const { return total_; }

    // Bits in the busiest one-second window, never below `averageBitRate`
    // (a file shorter than a second has no full window).
    std::uint32_t maxBitRate(std::uint32_t averageBitRate);

    // Milliseconds a player must buffer so that, fed at `averageBitRate`
    // from the first byte of the file (`leadingBytes` of header come before
    // the first packet), it never waits for a packet.
    std::uint32_t prerollMs(std::uint32_t averageBitRate, std::uint64_t leadingBytes) const;

  private:
    std::vector<std::uint64_t> slots_;
    // Per slot: where its last packet written ends, counted from the first
    // packet, and its earliest timestamp (0 in `ends_`: no packet yet).
    std::vector<std::uint64_t> ends_;
    std::vector<std::uint32_t> firstMs_;
    std::uint64_t total_ = 0;
    std::size_t dirtyFrom_ = 0;  // windows ending before this slot are counted
    std::uint64_t maxWindow_ = 0;
};

// Bits per second of `bytes` over `durationMs`; 0 when there is no duration.
std::uint32_t bitRate(std::uint64_t bytes, std::uint32_t durationMs);

}  // namespace velmora::encoder::rm
