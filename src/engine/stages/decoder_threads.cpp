#include "engine/stages/decoder_threads.h"

#include <cstdio>

namespace velmora::encoder {

DecoderThreadsChoice::DecoderThreadsChoice(int cores, double lookDecodeMs) : cores_(cores) {
#ifdef __SANITIZE_THREAD__
    // FFmpeg's frame threads hand frames over through atomics in
    // uninstrumented code, which ThreadSanitizer reports as races.
    cores_ = 1;
#endif
    // One core is all one thread can use.
    if (cores_ < 2) {
        phase_ = Phase::Settled;
        return;
    }
    if (lookDecodeMs > 0) {
        char line[96];
        std::snprintf(line, sizeof line, "a picture decodes in %.2f ms (the first look)\n",
                      lookDecodeMs);
        story_ += line;
    }
    if (lookDecodeMs > 0 && lookDecodeMs < kFramesPayMs) {
        story_ += "starts on 1 threads for good (frame threads do not pay)\n";
        phase_ = Phase::Settled;
        return;
    }
    first_ = frameThreads();
    char line[64];
    std::snprintf(line, sizeof line, "starts on %d threads\n", first_);
    story_ += line;
}

void DecoderThreadsChoice::pin(int threads) {
    if (cores_ < 2) return;
    first_ = threads;
    phase_ = Phase::Settled;
    story_.clear();
}

void DecoderThreadsChoice::mark(double now, double waited) {
    markTime_ = now;
    markWaited_ = waited;
}

// `waiting`: the part of the last stretch the reader waited.
int DecoderThreadsChoice::change(int threads, std::int64_t packets, double now, const char* why,
                                 double waiting) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "packet %lld at %.2f s: %d threads (%s: the reader waited %.0f %%)\n",
                  static_cast<long long>(packets), now - start_, threads, why, waiting * 100);
    story_ += line;
    asked_ = threads;
    return threads;
}

int DecoderThreadsChoice::observe(double now, double waited, std::int64_t packets, int threads) {
    if (phase_ == Phase::Settled) return -1;
    if (start_ < 0) {
        start_ = now;
        mark(now, waited);
    }
    const double span = now - markTime_;
    const double waiting = span > 0 ? (waited - markWaited_) / span : 0;
    switch (phase_) {
        case Phase::Warming:
            if (span >= kWarmSeconds) {
                mark(now, waited);
                phase_ = Phase::OnFrames;
            }
            return -1;
        case Phase::OnFrames:
            if (span < kMeasureSeconds) return -1;
            mark(now, waited);
            // Decoding is what the encoders wait for, or close to it: frame
            // threads stay. The source, or the machine's load, may change:
            // the next stretch is looked at again.
            if (waiting <= kEncodersSlowest) return -1;
            phase_ = Phase::Changing;
            return change(1, packets, now, "the encoders are the slowest stage", waiting);
        case Phase::Changing:
            if (threads == asked_) {
                mark(now, waited);
                phase_ = Phase::Settling;
            }
            return -1;
        case Phase::Settling:
            if (span >= kSettleSeconds) {
                mark(now, waited);
                phase_ = Phase::OnOne;
            }
            return -1;
        case Phase::OnOne:
            if (span < kMeasureSeconds) return -1;
            mark(now, waited);
            if (waiting > kReaderSlowest) return -1;
            phase_ = Phase::Settled;
            return change(frameThreads(), packets, now,
                          "one thread made decoding the slowest stage", waiting);
        case Phase::Settled:
            break;
    }
    return -1;
}

}  // namespace velmora::encoder
