#pragma once
// Sources as the real world makes them (clocks that jump, headers that lie),
// and velmora-encode run on them in a child of its own: shared by the
// engine's messy-source tests and the command line's.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace velmora::encoder::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSlowdown = 8;  // instrumented Debug builds run many times slower
#else
constexpr double kSlowdown = 1;
#endif

// `s` as one word of sh.
std::string quoted(const std::string& s);
// The ffmpeg CLI run with `args`; whether it succeeded.
bool ffmpeg(const std::string& args);
std::string readAll(const std::string& path);
bool writeAll(const std::string& path, const std::string& bytes);

// Writes a file's bytes into a FIFO from a thread of its own, as a program
// piping into it would. The bytes are read first, so the FIFO is opened at
// once. join() never hangs: a writer whose reader gave up before opening the
// FIFO, or left it unread, is let go.
class FifoFeed {
  public:
    FifoFeed(std::string fifo, const std::string& file);
    ~FifoFeed() { join(); }
    FifoFeed(const FifoFeed&) = delete;
    FifoFeed& operator=(const FifoFeed&) = delete;
    void join();

  private:
    std::string fifo_, bytes_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// The picture and the sound the generated sources are made of.
inline const char* const kPicture = "-f lavfi -i testsrc2=size=640x480:rate=25 ";
inline const char* const kSound = "-f lavfi -i sine=frequency=330:sample_rate=44100 ";

// Two seconds, then the clock jumps ten hours, then two more seconds.
bool makeJump(const std::string& path, bool picture);
// An AVI of 6 s whose video header claims `rate`/`scale` frames a second.
bool makeAviClaiming(const std::string& path, std::uint32_t scale, std::uint32_t rate, bool sound);

struct ChildRun {
    int exitCode = -1;
    long peakKb = 0;  // the child's VmHWM, the last time it was seen running
    std::string output;
};

// velmora-encode in a child of its own (started by `wrapper`, e.g. unshare,
// when given), killed if it runs past `limit`.
ChildRun runEncoder(const std::string& source, const std::string& out, const std::string& log,
                    std::chrono::seconds limit, std::vector<std::string> wrapper = {});

}  // namespace velmora::encoder::testing
