#pragma once
// The source's video decoder's threads, chosen by what the running job
// shows rather than by one threshold fixed before it: a camera's grain or an
// HD picture can cost ten times what coding it for a slow line does, or
// less than a third, and where the two come close no figure taken before
// the job tells which way is faster (frame threads cost about two thirds
// more CPU in all, handing pictures over, and take it from the encoders).
//
// The job starts decoding on the reader's own thread. Once it has run a
// moment, the reader looks, stretch by stretch, at how long it waited for
// the encoders' queues: once it hardly waited in one, the reader is the
// slowest stage and the decoder tries frame threads (from the next key
// frame: VideoConverter::switchThreads), then keeps them only if the job
// reads the source faster with them than it did without; else it goes back
// for good. The files are the same whichever way the decoder runs.

#include <cstdint>
#include <string>

namespace velmora::encoder {

class DecoderThreadsChoice {
  public:
    // `cores`: the cores the job may use.
    explicit DecoderThreadsChoice(int cores = 1);

    // The threads to start with.
    int first() const { return 1; }
    // After each video packet the reader sent: `now` on a steady clock and
    // `waited`, the time the reader has waited on full queues so far, both
    // in seconds; `packets`, the video packets sent so far; `threads`, those
    // the decoder runs with now. The threads to change to, or -1 to keep them.
    int observe(double now, double waited, std::int64_t packets, int threads);

    // What it did, for a trace: each change asked for, with the packet and
    // the second it came at, and the choice it settled on.
    const std::string& story() const { return story_; }

    // Frame threads: on two cores two frames each (FFmpeg's three left a
    // core idle while a frame waited on the one before it), elsewhere
    // FFmpeg's count (a thread per core and one more).
    int frameThreads() const { return cores_ == 2 ? 4 : 0; }

    // The moments it watches, in seconds of the job's reading: the start,
    // where the encoders' windows fill; each way's measure; after a change,
    // the frame threads' own start.
    static constexpr double kWarmSeconds = 0.1, kMeasureSeconds = 0.15, kSettleSeconds = 0.05;
    // The reader counts as the slowest stage where it waited at most this
    // part of the time...
    static constexpr double kMostWaiting = 0.05;
    // ...and frame threads stay where they read this much faster at least.
    static constexpr double kLeastGain = 1.03;

  private:
    enum class Phase { Warming, OnOne, Changing, Settling, OnFrames, Settled };
    void mark(double now, double waited, std::int64_t packets);
    int change(int threads, std::int64_t packets, double now, const char* why);

    int cores_;
    Phase phase_ = Phase::Warming;
    double start_ = -1, markTime_ = 0, markWaited_ = 0;
    std::int64_t markPackets_ = 0;
    double oneRate_ = 0;  // packets a second on the reader's thread
    int asked_ = -1;      // the threads a change waits for
    std::string story_;
};

}  // namespace velmora::encoder
