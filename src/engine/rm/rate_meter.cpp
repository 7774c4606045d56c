#include "engine/rm/rate_meter.h"

#include <algorithm>
#include <limits>

namespace velmora::encoder::rm {

namespace {

std::uint32_t clampU32(std::uint64_t v) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

void RateMeter::add(std::uint32_t timestampMs, std::uint32_t bytes) {
    const std::size_t slot = std::min<std::size_t>(timestampMs / kSlotMs, kMaxSlots - 1);
    if (slot >= slots_.size()) {
        slots_.resize(slot + 1, 0);
        ends_.resize(slot + 1, 0);
        firstMs_.resize(slot + 1, std::numeric_limits<std::uint32_t>::max());
    }
    slots_[slot] += bytes;
    total_ += bytes;
    ends_[slot] = total_;
    firstMs_[slot] = std::min(firstMs_[slot], timestampMs);
    dirtyFrom_ = std::min(dirtyFrom_, slot);
}

std::uint32_t RateMeter::maxBitRate(std::uint32_t averageBitRate) {
    // Only windows that contain a slot changed since the last call can have
    // grown; window sums never shrink, so the old maximum stays valid.
    if (dirtyFrom_ < slots_.size()) {
        const std::size_t first =
            dirtyFrom_ >= kWindowSlots - 1 ? dirtyFrom_ - (kWindowSlots - 1) : 0;
        std::uint64_t sum = 0;
        for (std::size_t end = first; end < slots_.size(); ++end) {
            sum += slots_[end];
            if (end >= first + kWindowSlots) sum -= slots_[end - kWindowSlots];
            if (end + 1 >= first + kWindowSlots || first == 0)
                maxWindow_ = std::max(maxWindow_, sum);
        }
    }
    dirtyFrom_ = slots_.size();
    return std::max(clampU32(maxWindow_ * 8), averageBitRate);
}

std::uint32_t RateMeter::prerollMs(std::uint32_t averageBitRate, std::uint64_t leadingBytes) const {
    if (averageBitRate == 0) return 0;
    std::uint64_t worst = 0;
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        if (ends_[slot] == 0) continue;
        // Every packet of the slot has arrived once its last one has, and
        // none is due before the slot's earliest timestamp.
        const std::uint64_t bits = (leadingBytes + ends_[slot]) * 8 * 1000;
        const std::uint64_t arrivalMs = (bits + averageBitRate - 1) / averageBitRate;
        if (arrivalMs > firstMs_[slot]) worst = std::max(worst, arrivalMs - firstMs_[slot]);
    }
    return clampU32(worst);
}

std::uint32_t bitRate(std::uint64_t bytes, std::uint32_t durationMs) {
    if (durationMs == 0) return 0;
    return clampU32(bytes * 8 * 1000 / durationMs);
}

}  // namespace velmora::encoder::rm
