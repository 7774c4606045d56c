#pragma once
// The source's video decoder's threads: on the reader's own thread or on
// FFmpeg's frame threads. Two questions decide, each where it can be seen.
//
// Whether frame threads can pay is the picture's: handing a picture to a
// thread and back costs about 0.2-0.5 ms of CPU whatever it shows, so where
// a picture decodes in about a millisecond (a clean 640x480 at 1.2 Mbit/s,
// 60 fps of little detail) frame threads cost up to half as much CPU again
// and decode no faster, even alone; at three and more (grain, HD, a fractal
// zoom at 6.5 Mbit/s) they decode 1.4 to 1.6 times as fast. The first look
// times the pictures it decodes after a key frame; below kFramesPayMs the
// job decodes on one thread all the way.
//
// Whether they do pay is the running job's: they take cores the encoders
// may need. The job starts on frame threads, as the ffmpeg CLI does (where
// decoding is the job's cost, every stretch on one thread first was lost),
// and the reader looks, stretch by stretch, at how long it waited on the
// encoders' full queues. Where it waited much, the encoders are the slowest
// stage: the decoder moves to one thread (from the next key frame:
// VideoConverter::switchThreads) and keeps looking; should the reader hardly
// wait any more, one thread made decoding the slowest stage and the decoder
// goes back to frame threads for good. States, not speeds, are compared: the
// reader's speed over a stretch says little of the job's, for while the
// look-ahead's windows grow (their first seconds) the reader runs up to
// twice as fast as the encoders. Without a look (a pipe, a short file) the
// running job decides alone. The files are the same whichever way the
// decoder runs.

#include <cstdint>
#include <string>

namespace velmora::encoder {

class DecoderThreadsChoice {
  public:
    // `cores`: the cores the job may use; `lookDecodeMs`, the first look's
    // CPU time decoding a picture (MediaSource::lookDecodeMs), 0 if unknown.
    explicit DecoderThreadsChoice(int cores = 1, double lookDecodeMs = 0);

    // The threads to start with.
    int first() const { return first_; }
    // Keeps the decoder on `threads` for the whole job (1, or frameThreads()),
    // for measuring each way on its own.
    void pin(int threads);

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
    // where the encoders' windows fill; each way's measure, long enough that
    // a moment's stall (a key frame, a burst of sound, another program) does
    // not decide (at 0.15 s a stretch where the reader waited 56 % sent grain
    // at 512K to one thread for 0.7 s); after a change, the new way's start.
    static constexpr double kWarmSeconds = 0.1, kMeasureSeconds = 0.45, kSettleSeconds = 0.05;
    // The encoders count as the slowest stage where the reader waited on
    // them more than this part of a stretch (in the first stretches it
    // waits a few per cent as their windows fill, whichever is slowest);
    // decoding on one thread, where it waited at most the second.
    static constexpr double kEncodersSlowest = 0.15, kReaderSlowest = 0.05;
    // Frame threads pay only where a picture's decoding takes well over
    // what handing it to a thread and back costs: below this, on one thread
    // all the way.
    static constexpr double kFramesPayMs = 1.5;

  private:
    enum class Phase { Warming, OnFrames, Changing, Settling, OnOne, Settled };
    void mark(double now, double waited);
    int change(int threads, std::int64_t packets, double now, const char* why, double waiting);

    int cores_;
    int first_ = 1;
    Phase phase_ = Phase::Warming;
    double start_ = -1, markTime_ = 0, markWaited_ = 0;
    int asked_ = -1;  // the threads a change waits for
    std::string story_;
};

}  // namespace velmora::encoder
