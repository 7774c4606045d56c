#pragma once
// The destinations this process's jobs write to, each with the job that
// claimed it last. A job let go by Engine::stopWithin() may end after a
// later job to the same file has begun, and must never put its file over
// that one's.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace velmora::encoder {

class DestinationRegistry {
  public:
    // The process's registry. Never destroyed: a job let go may still end
    // while the process exits.
    static DestinationRegistry& instance();

    // Makes the caller the destination's latest claim; the ticket says so.
    std::uint64_t claim(const std::string& destination);

    // Runs `commit` only while `ticket` is the destination's latest claim,
    // so no later claim can slip in between; the claim ends either way.
    bool commitIfLatest(const std::string& destination, std::uint64_t ticket,
                        const std::function<void()>& commit);

    // Ends the claim, unless a later one has taken its place.
    void release(const std::string& destination, std::uint64_t ticket);

  private:
    std::mutex mutex_;
    std::map<std::string, std::uint64_t> latest_;
    std::uint64_t claims_ = 0;
};

}  // namespace velmora::encoder
