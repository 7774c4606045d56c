#include "engine/plan/encode_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace velmora::encoder {
namespace {

SourceShape videoAndSound(int width = 640, int height = 480, int channels = 2) {
    SourceShape s;
    s.hasVideo = s.hasAudio = true;
    s.width = width;
    s.height = height;
    s.channels = channels;
    return s;
}

// A 20 s source at 25 fps with what the first look found (all 0: no look).
SourceShape looked(double keyBits, double nextBits, double coarseBits, double keysPerSecond,
                   int width = 640, int height = 480) {
    SourceShape s = videoAndSound(width, height);
    s.frameRate = 25;
    s.durationMs = 20000;
    s.keyBitsPerPixel = keyBits;
    s.nextBitsPerPixel = nextBits;
    s.coarseBitsPerPixel = coarseBits;
    s.keysPerSecond = keysPerSecond;
    return s;
}

double totalKbps(const EncodePlan& plan) {
    double total = plan.audio ? audioCostKbps(*plan.audio) : 0;
    if (plan.video) total += plan.video->bitRate / 1000.0 * 1.03 / 0.98 + 0.152 * plan.video->fps;
    return total;
}

TEST(EncodePlan, TableRunsSlowestFirstAndMapsEveryKey) {
    const auto table = audienceTable();
    ASSERT_EQ(table.size(), 8u);
    for (std::size_t i = 1; i < table.size(); ++i)
        EXPECT_LT(table[i - 1].budgetKbps, table[i].budgetKbps);
    EXPECT_EQ(table.front().budgetKbps, 20);
    EXPECT_EQ(table.back().budgetKbps, 450);
    for (const auto& p : table) {
        EXPECT_EQ(audienceForKey(p.key), p.audience);
        EXPECT_EQ(p.width % 4, 0);
        EXPECT_EQ(p.height % 4, 0);
        EXPECT_LE(p.bufferKbits, 480) << p.key;
    }
    EXPECT_FALSE(audienceForKey("1m"));
}

TEST(EncodePlan, SeveralAudiencesEncodeForTheSlowest) {
    EXPECT_EQ(slowestAudience(audienceSet({Audience::Dsl512K, Audience::Modem56K, Audience::Lan})),
              Audience::Modem56K);
    EXPECT_FALSE(slowestAudience({}));
    const EncodePlan plan = planEncode(audienceSet({Audience::Dsl512K, Audience::DualIsdn}),
                                       VoiceAndMusic, NormalMotion, videoAndSound());
    EXPECT_EQ(plan.audience, Audience::DualIsdn);
    EXPECT_EQ(plan.budgetKbps, 80);
}

TEST(EncodePlan, EveryAudienceAndChoiceStaysWithinItsBudgetOnPaper) {
    for (const auto& p : audienceTable()) {
        for (std::int32_t content = VoiceOnly; content <= NoAudio; ++content) {
            for (std::int32_t quality = NormalMotion; quality <= NoVideo; ++quality) {
                const EncodePlan plan =
                    planEncode(audienceSet({p.audience}), content, quality, videoAndSound());
                if (p.audience == Audience::Modem28K) continue;  // held by the quantiser instead
                EXPECT_LE(totalKbps(plan), p.budgetKbps + 0.5)
                    << p.key << " content " << content << " quality " << quality;
            }
        }
    }
}

// A still's frames between cuts cost next to nothing: its key frames get
// the whole line, not the part the table keeps back for hard pictures.
TEST(EncodePlan, AStillUsesItsWholeBudgetOnPaper) {
    const SourceShape slides = looked(1.8, 0.02, 0.001, 0.25);
    for (const auto& p : audienceTable()) {
        for (std::int32_t quality = NormalMotion; quality <= SlideShow; ++quality) {
            const EncodePlan plan =
                planEncode(audienceSet({p.audience}), VoiceAndMusic, quality, slides);
            EXPECT_GE(totalKbps(plan), 0.95 * p.budgetKbps) << p.key << " " << quality;
            EXPECT_LE(totalKbps(plan), p.budgetKbps + 0.5) << p.key << " " << quality;
        }
    }
}

TEST(EncodePlan, LowAudiencesUse144AndHighOnesAc3AtValidRates) {
    for (const auto& p : audienceTable()) {
        for (std::int32_t content = VoiceOnly; content <= StereoMusic; ++content) {
            const EncodePlan plan =
                planEncode(audienceSet({p.audience}), content, NormalMotion, videoAndSound());
            ASSERT_TRUE(plan.audio);
            if (p.budgetKbps < 80) {
                EXPECT_EQ(plan.audio->codec, AudioCodec::Real144);
                EXPECT_EQ(plan.audio->sampleRate, 8000);
                EXPECT_EQ(plan.audio->channels, 1);
            } else {
                EXPECT_EQ(plan.audio->codec, AudioCodec::Ac3);
                const int kbps = plan.audio->bitRate / 1000;
                EXPECT_TRUE(kbps == 32 || kbps == 48 || kbps == 64 || kbps == 96 || kbps == 128)
                    << kbps;
                const int rate = plan.audio->sampleRate;
                EXPECT_TRUE(rate == 32000 || rate == 44100 || rate == 48000);
            }
        }
    }
}

TEST(EncodePlan, AudioContentChoosesChannelsAndShare) {
    const auto plan = [](std::int32_t content, int sourceChannels = 2) {
        return planEncode(audienceSet({Audience::Dsl256K}), content, NormalMotion,
                          videoAndSound(640, 480, sourceChannels));
    };
    EXPECT_EQ(plan(VoiceOnly).audio->channels, 1);
    EXPECT_LT(plan(VoiceOnly).audio->bitRate, plan(Music).audio->bitRate);
    // Fewer bits for speech leave more for the picture.
    EXPECT_GT(plan(VoiceOnly).video->bitRate, plan(Music).video->bitRate);
    EXPECT_EQ(plan(StereoMusic).audio->channels, 2);
    EXPECT_EQ(plan(StereoMusic, 1).audio->channels, 1);  // a mono source stays mono
    EXPECT_EQ(plan(StereoMusic, 6).audio->channels, 2);
    EXPECT_FALSE(plan(NoAudio).audio);
    EXPECT_GT(plan(NoAudio).video->bitRate, plan(Music).video->bitRate);
}

TEST(EncodePlan, VideoQualityTradesFrameRateForSize) {
    const auto plan = [](std::int32_t quality) {
        return planEncode(audienceSet({Audience::Lan}), VoiceAndMusic, quality, videoAndSound());
    };
    const VideoPlan normal = *plan(NormalMotion).video;
    EXPECT_EQ(normal.width, 240);
    EXPECT_EQ(normal.fps, 12);
    EXPECT_EQ(normal.gop, 120);

    const VideoPlan smooth = *plan(SmoothMotion).video;
    EXPECT_EQ(smooth.fps, 24);
    EXPECT_LT(smooth.width, normal.width);

    const VideoPlan sharp = *plan(SharpImage).video;
    EXPECT_EQ(sharp.fps, 6);
    EXPECT_GT(sharp.width, normal.width);

    const VideoPlan slides = *plan(SlideShow).video;
    EXPECT_EQ(slides.fps, 1);
    EXPECT_GT(slides.width, normal.width);
    EXPECT_LT(slides.bitRate, normal.bitRate);

    const EncodePlan soundOnly = plan(NoVideo);
    EXPECT_FALSE(soundOnly.video);
    EXPECT_TRUE(soundOnly.audio);
}

TEST(EncodePlan, NeverMoreFramesThanTheSourceHas) {
    struct Case {
        double sourceFps;
        int most;  // the highest rate any choice may ask for
    };
    const Case cases[] = {{25, 25}, {23.976, 23}, {29.97, 29}, {12, 12}, {7.5, 7}, {0.5, 1}};
    for (const Case& c : cases) {
        SourceShape s = videoAndSound();
        s.frameRate = c.sourceFps;
        for (const auto& p : audienceTable()) {
            for (std::int32_t quality = NormalMotion; quality <= SlideShow; ++quality) {
                const EncodePlan plan =
                    planEncode(audienceSet({p.audience}), VoiceAndMusic, quality, s);
                EXPECT_LE(plan.video->fps, c.most) << p.key << " " << c.sourceFps << " " << quality;
                EXPECT_GE(plan.video->fps, 1);
            }
        }
    }
    // Smooth motion only trades size for frames it really gets.
    SourceShape pal = videoAndSound();
    pal.frameRate = 25;
    const auto at512 = [&](std::int32_t quality) {
        return *planEncode(audienceSet({Audience::Dsl512K}), VoiceAndMusic, quality, pal).video;
    };
    EXPECT_EQ(at512(SmoothMotion).fps, 25);
    EXPECT_EQ(at512(SmoothMotion).width, at512(NormalMotion).width);
    pal.frameRate = 0;  // unknown: the audience's own rates
    EXPECT_EQ(at512(SmoothMotion).fps, 50);
}

// The first look decides whether the line leaves room for a larger picture:
// a slide show's does, motion's does not, and no picture outgrows its source.
// A pan so fast that even the coarsest quantiser cannot hold it to the line
// gets a smaller picture, down to the smallest.
TEST(EncodePlan, TheFirstLookSizesThePicture) {
    struct Case {
        const char* what;
        int sourceWidth, sourceHeight;
        double keyBits, nextBits, coarseBits, keysPerSecond;
        Audience audience;
        int least, most;  // the width the standard choice may get
    };
    const Case cases[] = {
        {"light slides at 512K", 640, 480, 0.8, 0.02, 0.001, 0.25, Audience::Dsl512K, 480, 640},
        // Key frames past the buffer come out coarse and the still frames
        // refine them; only how often they come has to fit the line.
        {"detailed slides at 512K", 640, 480, 1.8, 0.02, 0.001, 0.25, Audience::Dsl512K, 640, 640},
        {"a cut every second at 512K", 640, 480, 1.8, 0.02, 0.001, 1.0, Audience::Dsl512K, 320,
         384},
        {"a still under heavy noise at LAN", 640, 480, 6.5, 0.007, 0.008, 0.25, Audience::Lan, 176,
         240},
        {"slides at LAN", 640, 480, 1.8, 0.02, 0.001, 0.25, Audience::Lan, 320, 480},
        {"slides at 28K", 640, 480, 1.8, 0.02, 0.001, 0.25, Audience::Modem28K, 128, 128},
        {"small slides", 320, 240, 1.8, 0.02, 0.001, 0.25, Audience::Dsl512K, 384, 384},
        {"motion", 640, 480, 3.5, 2.3, 0.02, 0.1, Audience::Dsl512K, 384, 384},
        {"motion at 28K", 640, 480, 3.5, 2.3, 0.02, 0.1, Audience::Modem28K, 128, 128},
        {"fast pan at 512K", 640, 480, 3.5, 1.6, 0.082, 0.1, Audience::Dsl512K, 320, 320},
        {"fast pan at 256K", 640, 480, 3.5, 1.6, 0.082, 0.1, Audience::Dsl256K, 176, 240},
        {"fast pan at 28K", 640, 480, 3.5, 1.6, 0.082, 0.1, Audience::Modem28K, 128, 128},
        // Grain over a calm picture scales down with it: the look overstates it.
        {"grain at 56K", 320, 240, 1.6, 0.3, 0.062, 0.1, Audience::Modem56K, 160, 160},
        {"no look", 640, 480, 0, 0, 0, 0, Audience::Dsl512K, 384, 384},
    };
    for (const Case& c : cases) {
        const SourceShape s = looked(c.keyBits, c.nextBits, c.coarseBits, c.keysPerSecond,
                                     c.sourceWidth, c.sourceHeight);
        const VideoPlan v =
            *planEncode(audienceSet({c.audience}), VoiceAndMusic, NormalMotion, s).video;
        EXPECT_GE(v.width, c.least) << c.what;
        EXPECT_LE(v.width, c.most) << c.what;
        // Only a still picture gets the finest quantiser at every audience.
        const bool still = c.keyBits > 0 && c.nextBits < 0.1;
        EXPECT_EQ(v.qmin, still ? 2 : profileOf(c.audience).qmin) << c.what;
        // Each slide's quantiser is chosen whole, on every line.
        EXPECT_EQ(v.groupQuantiser, still) << c.what;
        EXPECT_EQ(v.qmax, 31) << c.what;
        // Growing stops at the source's size (the table's own may be larger),
        // and only a picture the line cannot hold shrinks.
        const SourceShape unseen = looked(0, 0, 0, 0, c.sourceWidth, c.sourceHeight);
        const bool tooFast = c.coarseBits > 0.05 && c.nextBits > 0.5;
        for (std::int32_t quality = NormalMotion; quality <= SlideShow; ++quality) {
            const auto width = [&](const SourceShape& shape) {
                return planEncode(audienceSet({c.audience}), VoiceAndMusic, quality, shape)
                    .video->width;
            };
            EXPECT_LE(width(s), std::max(c.sourceWidth, width(unseen))) << c.what << quality;
            if (!tooFast) {
                EXPECT_GE(width(s), width(unseen)) << c.what << quality;
            }
        }
    }
    // At one frame a second each group's quantiser makes a slide fit, and a
    // larger picture at a coarser quantiser shows more of it.
    const SourceShape slides = looked(1.8, 0.02, 0.001, 0.25);
    for (const Audience audience : {Audience::Modem56K, Audience::Lan}) {
        const auto width = [&](std::int32_t quality) {
            return planEncode(audienceSet({audience}), VoiceAndMusic, quality, slides).video->width;
        };
        EXPECT_GT(width(SlideShow), width(NormalMotion)) << static_cast<int>(audience);
    }
    // Smooth motion's extra frames only where the smallest picture still
    // holds them; otherwise the table's rate, not every third frame repeated.
    const SourceShape pan = looked(3.5, 1.6, 0.082, 0.1);
    const auto smooth = [&](Audience audience) {
        return *planEncode(audienceSet({audience}), VoiceAndMusic, SmoothMotion, pan).video;
    };
    EXPECT_EQ(smooth(Audience::Modem28K).fps, profileOf(Audience::Modem28K).fps);
    EXPECT_GT(smooth(Audience::Modem56K).fps, profileOf(Audience::Modem56K).fps);
    EXPECT_GT(smooth(Audience::Dsl256K).fps, profileOf(Audience::Dsl256K).fps);
}

// The guard's whole share, the sound and the container must fit the budget
// over any length, so even the hardest picture keeps to it.
TEST(EncodePlan, TheGuardsLineKeepsEveryFileWithinItsBudget) {
    for (const std::int64_t ms : {4000, 20000, 600000}) {
        for (const auto& p : audienceTable()) {
            for (std::int32_t quality = NormalMotion; quality <= SlideShow; ++quality) {
                SourceShape s = videoAndSound();
                s.durationMs = ms;
                const EncodePlan plan =
                    planEncode(audienceSet({p.audience}), VoiceAndMusic, quality, s);
                const VideoPlan& v = *plan.video;
                const double seconds = ms / 1000.0;
                ASSERT_GT(v.wholeBits, 0);
                const double worstKbit = v.wholeBits / 1000.0 +
                                         (audioCostKbps(*plan.audio) + 0.152 * v.fps) * seconds +
                                         12;
                EXPECT_LE(worstKbit / seconds, p.budgetKbps)
                    << p.key << " " << ms << " " << quality;
                // The rate control's own target stays under the guard's line on
                // long sources, so the guard only steps in on hard pictures.
                if (ms >= 600000) {
                    EXPECT_LT(v.bitRate * 1.03, v.ceilingRate) << p.key;
                }
            }
        }
    }
}

TEST(EncodePlan, TheSlowestAudienceStillGetsWholeFrameRates) {
    const EncodePlan sharp =
        planEncode(audienceSet({Audience::Modem28K}), VoiceAndMusic, SharpImage, videoAndSound());
    EXPECT_GE(sharp.video->fps, 1);
    EXPECT_GT(sharp.video->bitRate, 0);
}

TEST(EncodePlan, FramesKeepTheSourceAspectInMultiplesOfFour) {
    struct Case {
        int width, height, sarNum, sarDen;
        int wantWidth, wantHeight;
    };
    const Case cases[] = {
        {640, 480, 1, 1, 320, 240},    // same aspect as the box
        {321, 241, 1, 1, 320, 240},    // odd sizes
        {1280, 720, 1, 1, 320, 180},   // wider: full width
        {480, 640, 1, 1, 180, 240},    // portrait: full height
        {720, 576, 16, 15, 320, 240},  // PAL 4:3 with non-square pixels
        {720, 576, 64, 45, 320, 180},  // PAL 16:9 anamorphic
        {100, 100, 0, 1, 240, 240},    // unknown SAR counts as square
    };
    for (const Case& c : cases) {
        SourceShape s;
        s.hasVideo = true;
        s.width = c.width;
        s.height = c.height;
        s.sarNum = c.sarNum;
        s.sarDen = c.sarDen;
        int w = 0, h = 0;
        fitFrame(s, 320, 240, w, h);
        EXPECT_EQ(w, c.wantWidth) << c.width << "x" << c.height;
        EXPECT_EQ(h, c.wantHeight) << c.width << "x" << c.height;
        EXPECT_EQ(w % 4, 0);
        EXPECT_EQ(h % 4, 0);
    }
}

TEST(EncodePlan, BufferNeverExceedsTheRmFrameLimit) {
    for (const auto& p : audienceTable())
        for (std::int32_t quality = NormalMotion; quality <= SlideShow; ++quality) {
            const auto plan =
                planEncode(audienceSet({p.audience}), NoAudio, quality, videoAndSound());
            EXPECT_LE(plan.video->bufferSize, 480000) << p.key;
            EXPECT_EQ(plan.video->bitRate > 0, true);
        }
}

TEST(EncodePlan, ShortSourcesLeaveRoomForTheFirstKeyFrame) {
    const auto videoKbps = [](std::int64_t ms) {
        SourceShape s = videoAndSound();
        s.durationMs = ms;
        return planEncode(audienceSet({Audience::Lan}), VoiceAndMusic, NormalMotion, s)
            .video->bitRate;
    };
    const int table = profileOf(Audience::Lan).videoKbps * 1000;
    EXPECT_EQ(videoKbps(0), table);  // unknown length: the table as measured
    EXPECT_EQ(videoKbps(60000), table);
    EXPECT_LT(videoKbps(4000), videoKbps(8000));
    EXPECT_LT(videoKbps(8000), table);
    EXPECT_GE(videoKbps(100), table / 2);  // never starved
}

TEST(EncodePlan, NothingToEncodeWhenTheChoicesRemoveWhatTheSourceHas) {
    SourceShape soundOnly;
    soundOnly.hasAudio = true;
    soundOnly.channels = 2;
    const EncodePlan none =
        planEncode(audienceSet({Audience::Lan}), NoAudio, NormalMotion, soundOnly);
    EXPECT_FALSE(none.video);
    EXPECT_FALSE(none.audio);
}

std::string optionValue(const std::vector<std::string>& args, const std::string& option) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == option) return args[i + 1];
    return "-";
}

TEST(EncodePlan, FfmpegArgumentsAskForTheSameEncode) {
    const EncodePlan modem = planEncode(audienceSet({Audience::Modem56K}), VoiceAndMusic,
                                        NormalMotion, videoAndSound(1280, 720));
    const auto a = ffmpegOutputArguments(modem);
    EXPECT_EQ(optionValue(a, "-c:v"), "rv20");
    EXPECT_EQ(optionValue(a, "-s"),
              std::to_string(modem.video->width) + "x" + std::to_string(modem.video->height));
    EXPECT_EQ(optionValue(a, "-r"), std::to_string(modem.video->fps));
    EXPECT_EQ(optionValue(a, "-b:v"), std::to_string(modem.video->bitRate));
    EXPECT_EQ(optionValue(a, "-bt"), std::to_string(modem.video->bitRate));
    EXPECT_EQ(optionValue(a, "-maxrate"), std::to_string(modem.video->maxRate));
    EXPECT_EQ(optionValue(a, "-bufsize"), std::to_string(modem.video->bufferSize));
    EXPECT_EQ(optionValue(a, "-qmin"), std::to_string(modem.video->qmin));
    for (const auto& [option, value] : videoEncoderOptions(*modem.video))
        EXPECT_EQ(optionValue(a, "-" + option), value) << option;
    EXPECT_EQ(optionValue(a, "-trellis"), "1");
    EXPECT_EQ(optionValue(a, "-c:a"), "real_144");
    EXPECT_EQ(optionValue(a, "-b:a"), "-") << "14.4 has one rate";
    EXPECT_EQ(optionValue(a, "-ar"), "8000");

    const auto dsl = ffmpegOutputArguments(
        planEncode(audienceSet({Audience::Dsl512K}), StereoMusic, NoVideo, videoAndSound()));
    EXPECT_NE(std::find(dsl.begin(), dsl.end(), "-vn"), dsl.end());
    EXPECT_EQ(optionValue(dsl, "-c:a"), "ac3");
    EXPECT_EQ(optionValue(dsl, "-b:a"), "128000");
    EXPECT_EQ(optionValue(dsl, "-ac"), "2");
}

// What the ffmpeg CLI is given to see the picture as players show it: BT.601
// limited range at the file's size, HDR bent into SDR by its stated light,
// whole frames. A source already so gets no filter at all (its files stay
// byte for byte what they were).
TEST(EncodePlan, ThePictureIsConvertedAsPlayersShowIt) {
    const auto colour = [](ColourMatrix m, bool full = false, bool inFormat = false,
                           Transfer t = Transfer::Sdr, double nits = 0) {
        return SourceColour{m, full, inFormat, t, t != Transfer::Sdr, nits};
    };
    const SourceFields none;
    struct Case {
        const char* name;
        int width, height;
        SourceColour colour;
        SourceFields fields;
        std::vector<std::string> filters;  // in -vf; none at all when empty
        std::vector<std::string> absent = {};
    } cases[] = {
        {"SD unstated is BT.601", 640, 480, colour(ColourMatrix::Unstated), none, {}},
        {"BT.601 in a full-range pixel format",
         720,
         576,
         colour(ColourMatrix::Bt601, true, true),
         none,
         {}},
        {"RGB pixels", 1920, 1080, colour(ColourMatrix::NotYuv), none, {}},
        {"HD unstated is BT.709",
         1280,
         720,
         colour(ColourMatrix::Unstated),
         none,
         {"in_color_matrix=bt709:out_color_matrix=bt601:in_range=tv:out_range=tv"}},
        {"portrait HD unstated is BT.709",
         1080,
         1920,
         colour(ColourMatrix::Unstated),
         none,
         {"in_color_matrix=bt709"}},
        {"full range by its tag alone",
         640,
         480,
         colour(ColourMatrix::Bt601, true),
         none,
         {"in_color_matrix=bt601:out_color_matrix=bt601:in_range=pc:out_range=tv"}},
        {"PQ stating 100 cd/m2 needs no curve",
         1920,
         1080,
         colour(ColourMatrix::Bt2020, false, false, Transfer::Pq, 100),
         none,
         {"zscale=tin=smpte2084:min=bt2020nc:pin=bt2020:rin=tv:t=linear", "npl=100", "p=bt709",
          "m=bt470bg", "format=yuv420p"},
         {"tonemap"}},
        {"PQ stating nothing is bent from 1000 cd/m2",
         1920,
         1080,
         colour(ColourMatrix::Bt2020, false, false, Transfer::Pq),
         none,
         {"npl=203", "tonemap=tonemap=mobius", "peak=4.926"}},
        {"HLG from BT.2408's reference white",
         1920,
         1080,
         colour(ColourMatrix::Bt2020, false, false, Transfer::Hlg),
         none,
         {"tin=arib-std-b67", "npl=203", "peak=4.926"}},
        {"stated top field first",
         720,
         576,
         colour(ColourMatrix::Bt601),
         {FieldOrder::TopFirst, {}},
         {"bwdif=mode=send_frame:parity=tff:deint=all"}},
        {"stated interlaced, measured progressive",
         720,
         576,
         colour(ColourMatrix::Bt601),
         {FieldOrder::BottomFirst, {0, 0, 2}},
         {}},
        {"stated interlaced, measured the other order",
         720,
         576,
         colour(ColourMatrix::Bt601),
         {FieldOrder::TopFirst, {0, 2, 0}},
         {"parity=bff"}},
        {"unstated, measured combed",
         720,
         576,
         colour(ColourMatrix::Bt601),
         {FieldOrder::Unstated, {0, 1, 0}},
         {"parity=bff"}},
        {"stated progressive, measured both ways",
         720,
         576,
         colour(ColourMatrix::Bt601),
         {FieldOrder::Progressive, {1, 0, 1}},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SourceShape shape = videoAndSound(c.width, c.height);
        shape.colour = c.colour;
        shape.fields = c.fields;
        const EncodePlan plan =
            planEncode(audienceSet({Audience::Dsl512K}), VoiceAndMusic, NormalMotion, shape);
        const std::vector<std::string> args = ffmpegOutputArguments(plan);
        const std::string vf = optionValue(args, "-vf");
        if (c.filters.empty()) {
            EXPECT_EQ(vf, "-");
        }
        for (const std::string& f : c.filters) EXPECT_NE(vf.find(f), std::string::npos) << vf;
        for (const std::string& f : c.absent) EXPECT_EQ(vf.find(f), std::string::npos) << vf;
        // The colours' chain scales to the file's size and ends where the encoder starts.
        if (plan.video->picture.changesColours()) {
            const std::string size = "scale=w=" + std::to_string(plan.video->width) +
                                     ":h=" + std::to_string(plan.video->height);
            EXPECT_NE(vf.find(size), std::string::npos) << vf;
        }
        if (plan.video->picture.deinterlaced()) {
            EXPECT_EQ(vf.rfind("bwdif", 0), 0u) << vf;
        }
    }
}

}  // namespace
}  // namespace velmora::encoder
