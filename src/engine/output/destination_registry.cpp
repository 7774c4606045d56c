#include "engine/output/destination_registry.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace velmora::encoder {

namespace {

// What tells destinations apart: the folder's identity (device and inode)
// and the name in it, which need not exist yet; the name made absolute and
// normal when the folder cannot be looked at.
std::string identityOf(const std::string& destination) {
    namespace fs = std::filesystem;
    const fs::path path(destination);
    const fs::path name = path.filename();
    if (!name.empty() && name != "." && name != "..") {
        const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
        struct stat st {};
        if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + '/' +
                   name.native();
    }
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return (ec ? path : absolute).lexically_normal().native();
}

}  // namespace

DestinationRegistry& DestinationRegistry::instance() {
    static auto* registry = new DestinationRegistry;
    return *registry;
}

std::uint64_t DestinationRegistry::claim(const std::string& destination) {
    std::string identity = identityOf(destination);
    std::lock_guard lock(mutex_);
    const std::uint64_t ticket = ++claims_;
    latest_[identity] = ticket;
    claimed_.emplace(ticket, std::move(identity));
    return ticket;
}

bool DestinationRegistry::commitIfLatest(std::uint64_t ticket,
                                         const std::function<void()>& commit) {
    std::lock_guard lock(mutex_);
    const auto mine = claimed_.find(ticket);
    if (mine == claimed_.end()) return false;
    const auto it = latest_.find(mine->second);
    claimed_.erase(mine);
    if (it == latest_.end() || it->second != ticket) return false;
    latest_.erase(it);
    commit();
    return true;
}

void DestinationRegistry::release(std::uint64_t ticket) {
    std::lock_guard lock(mutex_);
    const auto mine = claimed_.find(ticket);
    if (mine == claimed_.end()) return;
    const auto it = latest_.find(mine->second);
    if (it != latest_.end() && it->second == ticket) latest_.erase(it);
    claimed_.erase(mine);
}

}  // namespace velmora::encoder
