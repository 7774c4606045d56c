#include "engine/stages/decoder_threads.h"

#include <cstdio>

namespace velmora::encoder {

DecoderThreadsChoice::DecoderThreadsChoice(int cores) : cores_(cores) {
#ifdef __SANITIZE_THREAD__
    // FFmpeg's frame threads hand frames over through atomics in
    // uninstrumented code, which ThreadSanitizer reports as races.
    cores_ = 1;
#endif
    // One core is all one thread can use.
    if (cores_ < 2) phase_ = Phase::Settled;
}

void DecoderThreadsChoice::mark(double now, double waited, std::int64_t packets) {
    markTime_ = now;
    markWaited_ = waited;
    markPackets_ = packets;
}

int DecoderThreadsChoice::change(int threads, std::int64_t packets, double now, const char* why) {
    char line[128];
    std::snprintf(line, sizeof line, "packet %lld at %.2f s: %d threads (%s)\n",
                  static_cast<long long>(packets), now - start_, threads, why);
    story_ += line;
    asked_ = threads;
    return threads;
}

int DecoderThreadsChoice::observe(double now, double waited, std::int64_t packets, int threads) {
    if (phase_ == Phase::Settled) return -1;
    if (start_ < 0) {
        start_ = now;
        mark(now, waited, packets);
    }
    const double span = now - markTime_;
    switch (phase_) {
        case Phase::Warming:
            if (span >= kWarmSeconds) {
                mark(now, waited, packets);
                phase_ = Phase::OnOne;
            }
            return -1;
        case Phase::OnOne: {
            if (span < kMeasureSeconds) return -1;
            if (waited - markWaited_ > kMostWaiting * span) {
                // The encoders are the slowest: more decoding threads would
                // only take their cores. The source, or the machine's load,
                // may change: the next stretch is looked at again.
                mark(now, waited, packets);
                return -1;
            }
            oneRate_ = static_cast<double>(packets - markPackets_) / span;
            phase_ = Phase::Changing;
            return change(frameThreads(), packets, now, "the reader is the slowest stage");
        }
        case Phase::Changing:
            if (threads == asked_) {
                mark(now, waited, packets);
                phase_ = Phase::Settling;
            }
            return -1;
        case Phase::Settling:
            if (span >= kSettleSeconds) {
                mark(now, waited, packets);
                phase_ = Phase::OnFrames;
            }
            return -1;
        case Phase::OnFrames: {
            if (span < kMeasureSeconds) return -1;
            const double rate = static_cast<double>(packets - markPackets_) / span;
            phase_ = Phase::Settled;
            char line[128];
            std::snprintf(line, sizeof line, "packets a second: %.0f on one thread, %.0f on %d\n",
                          oneRate_, rate, threads);
            story_ += line;
            if (rate >= kLeastGain * oneRate_) return -1;
            return change(1, packets, now, "frame threads read no faster");
        }
        case Phase::Settled:
            break;
    }
    return -1;
}

}  // namespace velmora::encoder
