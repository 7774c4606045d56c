#include "engine/destination_registry.h"

namespace velmora::encoder {

DestinationRegistry& DestinationRegistry::instance() {
    static auto* registry = new DestinationRegistry;
    return *registry;
}

std::uint64_t DestinationRegistry::claim(const std::string& destination) {
    std::lock_guard lock(mutex_);
    return latest_[destination] = ++claims_;
}

bool DestinationRegistry::commitIfLatest(const std::string& destination, std::uint64_t ticket,
                                         const std::function<void()>& commit) {
    std::lock_guard lock(mutex_);
    const auto it = latest_.find(destination);
    if (it == latest_.end() || it->second != ticket) return false;
    latest_.erase(it);
    commit();
    return true;
}

void DestinationRegistry::release(const std::string& destination, std::uint64_t ticket) {
    std::lock_guard lock(mutex_);
    const auto it = latest_.find(destination);
    if (it != latest_.end() && it->second == ticket) latest_.erase(it);
}

}  // namespace velmora::encoder
