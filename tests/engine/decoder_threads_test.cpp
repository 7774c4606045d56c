// The decoder's threads as the running job shows them best.
#include "engine/stages/decoder_threads.h"

#include <gtest/gtest.h>

namespace velmora::encoder {
namespace {

// A job fed to the choice packet by packet, 300 a second: the reader waits
// `onFrames` of each second on frame threads (from packet `from` on; none
// before it) and `onOne` on one thread; the first look found a picture to
// decode in `lookMs` (0: no look); a change asked for takes effect at once
// (a key frame at every packet). The threads it ends with.
TEST(DecoderThreads, OneThreadOnlyWhereTheEncodersAreTheSlowestStageEitherWay) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "under ThreadSanitizer the decoder always runs on the reader's thread";
#endif
    struct Case {
        const char* what;
        int cores;
        double onFrames, onOne;
        int threads;
        int from = 0;
        double lookMs = 0;
    } cases[] = {
        {"the encoders are the slowest stage either way", 2, 0.4, 0.2, 1},
        {"the encoders are the slowest stage on frame threads only", 2, 0.3, 0.0, 4},
        {"decoding is the slowest stage", 2, 0.0, 0.0, 4},
        {"the reader waits a little as the windows fill", 2, 0.08, 0.5, 4},
        {"the encoders turn the slowest stage later", 2, 0.4, 0.2, 1, 600},
        {"a picture decodes in a millisecond", 2, 0.0, 0.0, 1, 0, 1.0},
        {"a picture decodes in 3 ms", 2, 0.0, 0.0, 4, 0, 3.0},
        {"one core", 1, 0.0, 0.0, 1},
        {"cores to spare: FFmpeg's count", 8, 0.0, 0.0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DecoderThreadsChoice choice(c.cores, c.lookMs);
        int threads = choice.first();
        double now = 100, waited = 0;
        for (std::int64_t packets = 1; packets <= 2000; ++packets) {
            now += 1.0 / 300;
            waited += (threads == 1 ? c.onOne : packets < c.from ? 0 : c.onFrames) / 300;
            const int wanted = choice.observe(now, waited, packets, threads);
            if (wanted >= 0) threads = wanted;
        }
        EXPECT_EQ(threads, c.threads) << choice.story();
    }
}

}  // namespace
}  // namespace velmora::encoder
