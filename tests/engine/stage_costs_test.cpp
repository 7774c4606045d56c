// The figures the decoder's threads are chosen by: what a second of the
// source costs the reader and the encoders, timed on the real stages.

#include "engine/stage_costs.h"

#include <gtest/gtest.h>

#include "engine/media_source.h"
#include "engine/source_look.h"
#include "engine_support.h"

namespace velmora::encoder {
namespace {

namespace media = velmora::testing::media;

// CPU seconds to read and decode a second of the file, picture and sound,
// on one thread, the whole file through.
double decodeSecondsPerSecond(const std::string& path, double seconds) {
    MediaSource source;
    EXPECT_TRUE(openMediaSource(path, source));
    CodecContextPtr decoders[2];
    const int indices[2] = {source.videoIndex, source.audioIndex};
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(openDecoder(*source.format->streams[indices[i]], 1, decoders[i]));
    PacketPtr packet = makePacket();
    FramePtr frame = makeFrame();
    const double start = threadCpuSeconds();
    while (av_read_frame(source.format.get(), packet.get()) >= 0) {
        for (int i = 0; i < 2; ++i)
            if (packet->stream_index == indices[i] &&
                avcodec_send_packet(decoders[i].get(), packet.get()) >= 0)
                while (avcodec_receive_frame(decoders[i].get(), frame.get()) >= 0)
                    av_frame_unref(frame.get());
        av_packet_unref(packet.get());
    }
    return (threadCpuSeconds() - start) / seconds;
}

media::ClipShape clip(bool grain) {
    media::ClipShape shape;
    shape.width = 640;
    shape.height = 480;
    shape.grain = grain;
    return shape;
}

const std::string& clipPath(bool grain) {
    return media::cachedClip(grain ? "costs-grain" : "costs-flat", clip(grain));
}

StageCosts costsOf(const std::string& path, Audience audience, bool stop = false) {
    MediaSource source;
    EXPECT_TRUE(openMediaSource(path, source));
    takeFirstLook(path, source);
    const EncodePlan plan = planEncode(audienceSet({audience}), Music, NormalMotion, source.shape);
    const std::atomic<bool> stopped{stop};
    SourceInterrupt interrupt;
    interrupt.stop = &stopped;
    return measureStageCosts(path, source, plan, &interrupt);
}

TEST(StageCosts, TheReaderCostsWhatDecodingTheSourceCosts) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a sanitizer slows our own code, not FFmpeg's decoders";
#endif
    // A heavy grain costs several times what a flat picture does to decode;
    // the reader's figure follows it, and the encoders' stay apart from it.
    for (const bool grain : {false, true}) {
        SCOPED_TRACE(grain ? "grain" : "flat");
        const std::string& path = clipPath(grain);
        const StageCosts costs = costsOf(path, Audience::Dsl512K);
        ASSERT_TRUE(costs.known());
        const double decoding = decodeSecondsPerSecond(path, clip(grain).seconds);
        // Half a second against the whole file, on a machine that may be
        // busy: the same order, not the same figure.
        EXPECT_GT(costs.reader, decoding / 3);
        EXPECT_LT(costs.reader, decoding * 3);
        EXPECT_GT(costs.video, 0);
        EXPECT_GT(costs.audio, 0);
    }
}

TEST(StageCosts, UnknownWhereThereIsNothingToTimeOrTheJobIsStopping) {
    media::ClipShape brief;
    brief.seconds = 2;
    EXPECT_FALSE(costsOf(media::cachedClip("costs-brief", brief), Audience::Lan).known());
    media::ClipShape soundOnly;  // as the engine's own sound-only test makes it
    soundOnly.video = false;
    soundOnly.seconds = 4;
    EXPECT_FALSE(costsOf(media::cachedClip("sound-only", soundOnly), Audience::Lan).known());
    EXPECT_FALSE(costsOf(clipPath(false), Audience::Lan, true).known());
}

TEST(StageCosts, TheDecoderGetsThreadsWhereDecodingOutweighsCoding) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "under ThreadSanitizer the decoder always runs on the reader's thread";
#endif
    struct Case {
        const char* what;
        int cores;
        StageCosts costs;
        int threads;
    } cases[] = {
        // Figures measured on two cores, and which way was faster there.
        {"not measured", 2, {}, 4},
        {"light grain at 56K", 2, {0.016, 0.004, 0.015}, 1},
        {"light grain at LAN", 2, {0.024, 0.008, 0.001}, 1},
        {"heavy grain at 512K", 2, {0.101, 0.025, 0.001}, 4},
        {"1920x1080 at 56K", 2, {0.26, 0.012, 0.015}, 4},
        {"one core", 1, {0.03, 0.03, 0.02}, 1},
        {"one core, not measured", 1, {}, 1},
        {"cores to spare", 4, {0.03, 0.03, 0.02}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(videoDecoderThreads(c.cores, c.costs), c.threads);
    }
}

}  // namespace
}  // namespace velmora::encoder
