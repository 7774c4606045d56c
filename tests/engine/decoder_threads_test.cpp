// The decoder's threads as the running job shows them best.
#include "engine/stages/decoder_threads.h"

#include <gtest/gtest.h>

namespace velmora::encoder {
namespace {

// A job fed to the choice packet by packet: the reader waits `waiting` of
// each second, and reads `oneRate` packets a second on one thread,
// `framesRate` on frame threads; a change asked for takes effect at once
// (a key frame at every packet). The threads it ends with.
TEST(DecoderThreads, FrameThreadsStayOnlyWhereTheReaderIsSlowestAndTheyReadFaster) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "under ThreadSanitizer the decoder always runs on the reader's thread";
#endif
    struct Case {
        const char* what;
        int cores;
        double waiting, oneRate, framesRate;
        int threads;
    } cases[] = {
        {"the encoders are slowest", 2, 0.3, 500, 900, 1},
        {"the reader is slowest, frame threads faster", 2, 0.0, 300, 420, 4},
        {"the reader is slowest, frame threads no faster", 2, 0.01, 300, 305, 1},
        {"the reader is slowest, frame threads slower", 2, 0.0, 300, 250, 1},
        {"one core", 1, 0.0, 300, 600, 1},
        {"cores to spare: FFmpeg's count", 8, 0.0, 300, 900, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DecoderThreadsChoice choice(c.cores);
        int threads = choice.first();
        double now = 100, waited = 0, packets = 0;
        for (int step = 0; step < 2000; ++step) {
            const double rate = threads == 1 ? c.oneRate : c.framesRate;
            now += 1 / rate;
            waited += c.waiting / rate;
            const int wanted =
                choice.observe(now, waited, static_cast<std::int64_t>(++packets), threads);
            if (wanted >= 0) threads = wanted;
        }
        EXPECT_EQ(threads, c.threads) << choice.story();
    }
}

}  // namespace
}  // namespace velmora::encoder
