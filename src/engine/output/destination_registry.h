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
    // A destination is the file, however its name is spelt: `./a.rm`,
    // `a.rm` and the same name through a link to its folder are one.
    std::uint64_t claim(const std::string& destination);

    // Runs `commit` only while `ticket` is its destination's latest claim,
    // so no later claim can slip in between; the claim ends either way.
    bool commitIfLatest(std::uint64_t ticket, const std::function<void()>& commit);

    // Ends the claim, unless a later one has taken its place.
    void release(std::uint64_t ticket);

  private:
    std::mutex mutex_;
    std::map<std::string, std::uint64_t> latest_;  // by identity
    // Each claim's identity, taken when it was made: a folder renamed
    // while the job runs does not cost the job its claim.
    std::map<std::uint64_t, std::string> claimed_;
    std::uint64_t claims_ = 0;
};

}  // namespace velmora::encoder
