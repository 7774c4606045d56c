#include "engine/stage_costs.h"

#include <ctime>

#include "engine/audio_stage.h"
#include "engine/source_timeline.h"
#include "engine/video_stage.h"

namespace velmora::encoder {

namespace {

// Video packets run through the stages before the count starts: right after
// a seek the decoder's and the processor's caches are cold (those frames
// cost two to three times what they do in a run). Then up to half a second
// at 30 frames a second is counted, or fewer packets once the reader has
// spent enough for a steady figure: on a 1920x1080 source the count takes
// a fifth of a second of CPU time.
constexpr int kWarmPackets = 4, kFewestPackets = 8, kMostCountedPackets = 15;
constexpr double kEnoughSeconds = 0.05;
// A shorter source is over before the choice matters.
constexpr std::int64_t kShortestMs = 4000;
// Packets read at most: a file whose picture ends early, or whose sound is
// stored far ahead of it, is not read on to its end for the figures.
constexpr int kMostPackets = 1000;

// An encoder fed by one of the converters; counts the CPU time it takes.
struct TimedEncoder {
    CodecContextPtr encoder;
    PacketPtr packet = makePacket();
    VideoScaler scaler;
    int width = 0, height = 0;  // the picture's size; 0 for sound
    double seconds = 0;         // in the encoder, while `counting`
    bool counting = false;
    int frames = 0;

    bool take(FramePtr frame) {
        const double start = threadCpuSeconds();
        if (width > 0) {
            FramePtr scaled;
            if (!scaler.scale(*frame, width, height, scaled)) return false;
            scaled->pict_type = AV_PICTURE_TYPE_NONE;
            frame = std::move(scaled);
        }
        if (avcodec_send_frame(encoder.get(), frame.get()) < 0) return false;
        while (avcodec_receive_packet(encoder.get(), packet.get()) >= 0)
            av_packet_unref(packet.get());
        // The first picture counted is left out: the key frame, or where
        // that came before the count, the first predicted one, while the
        // rate control still finds its level. Both cost well above what
        // the job's pictures do.
        if (counting && frames++ > 0) seconds += threadCpuSeconds() - start;
        return true;
    }
};

}  // namespace

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

StageCosts measureStageCosts(const std::string& path, const MediaSource& source,
                             const EncodePlan& plan, const SourceInterrupt* interrupt) {
    StageCosts costs;
    if (!plan.video || source.videoIndex < 0 || !source.format || !source.regularFile ||
        source.declaredFps > 0 || source.durationMs < kShortestMs || source.shape.frameRate <= 0)
        return costs;

    // A second reading of the file: the job's own starts at the beginning.
    InputContextPtr format = reopenSourceFile(path, interrupt);
    if (!format) return costs;
    const int videoIndex = source.videoIndex;
    const int audioIndex = plan.audio ? source.audioIndex : -1;
    // The same file through the same demuxer numbers its streams alike
    // (as for the look); the decoders take the job's own stream details.
    if (videoIndex >= static_cast<int>(format->nb_streams) ||
        audioIndex >= static_cast<int>(format->nb_streams))
        return costs;
    const AVStream& videoStream = *source.format->streams[videoIndex];
    const AVRational timeBase = format->streams[videoIndex]->time_base;
    const std::int64_t middle = source.startUs + source.durationMs * 500;
    if (av_seek_frame(format.get(), videoIndex, av_rescale_q(middle, AV_TIME_BASE_Q, timeBase),
                      AVSEEK_FLAG_BACKWARD) < 0)
        return costs;

    TimedEncoder video, audio;
    video.scaler = VideoScaler(source.orientation);
    video.width = plan.video->width;
    video.height = plan.video->height;
    if (!video.packet || !audio.packet || !openVideoEncoder(*plan.video, video.encoder))
        return costs;
    if (audioIndex >= 0 && !openAudioEncoder(*plan.audio, audio.encoder)) return costs;
    const FrameSink toVideo = [&](FramePtr f) { return video.take(std::move(f)); };
    const FrameSink toAudio = [&](FramePtr f) { return audio.take(std::move(f)); };

    VideoConverter videoIn;
    AudioConverter audioIn;
    PacketPtr packet = makePacket();
    if (!packet) return costs;
    SourceTimeline timeline;
    timeline.declare(source.declaredMs / 1000.0);
    double reader = 0;
    bool opened = false, counting = false;
    int videoPackets = 0, counted = 0;
    for (int packets = 0;
         counted < kMostCountedPackets && (counted < kFewestPackets || reader < kEnoughSeconds);
         ++packets) {
        if (packets == kMostPackets || (interrupt && (*interrupt)())) return costs;
        const double start = threadCpuSeconds();
        const double encoding = video.seconds + audio.seconds;
        if (av_read_frame(format.get(), packet.get()) < 0) return costs;
        const int index = packet->stream_index;
        // The job's reader closes the clock's gaps: a picture is held over
        // none of them, here as there.
        if (index == videoIndex || index == audioIndex)
            timeline.close(packet->pts, packet->dts, packet->duration,
                           av_q2d(format->streams[index]->time_base), source.startUs / 1e6,
                           AV_NOPTS_VALUE);
        bool ok = true;
        if (!opened && index == videoIndex && packet->pts != AV_NOPTS_VALUE) {
            // The stretch starts at this picture, as a job starts at its first.
            const std::int64_t origin = av_rescale_q(packet->pts, timeBase, AV_TIME_BASE_Q);
            const AVCodecContext* audioEncoders[] = {audio.encoder.get()};
            ok = videoIn.open(videoStream, timeBase, {plan.video->fps}, origin, 1) &&
                 (audioIndex < 0 ||
                  audioIn.open(*source.format->streams[audioIndex], audioEncoders, origin));
            opened = true;
        }
        if (ok && opened && index == videoIndex) {
            counting = ++videoPackets > kWarmPackets;
            counted += counting;
            video.counting = audio.counting = counting;
            ok = static_cast<bool>(videoIn.sendPacket(*packet, {&toVideo, 1}));
        } else if (ok && opened && index == audioIndex) {
            ok = static_cast<bool>(audioIn.sendPacket(*packet, {&toAudio, 1}));
        }
        av_packet_unref(packet.get());
        if (!ok) return costs;
        if (counting)
            reader += threadCpuSeconds() - start - (video.seconds + audio.seconds - encoding);
    }
    const double seconds = counted / source.shape.frameRate;
    costs.reader = reader / seconds;
    costs.video = video.seconds / seconds;
    costs.audio = audio.seconds / seconds;
    return costs;
}

bool decoderThreadsFollowCosts(int cores) {
    return cores == 2;
}

int videoDecoderThreads(int cores, const StageCosts& costs) {
#ifdef __SANITIZE_THREAD__
    // FFmpeg's frame threads hand frames over through atomics in uninstrumented
    // code, which ThreadSanitizer reports as races; decode on this thread there.
    return 1;
#endif
    // One core is all one thread can use. With more cores than the job's
    // own threads the decoder's threads have a core to themselves (FFmpeg's
    // count); unmeasured, they are the safe side. The measurements behind
    // the figures are in docs/encoding-rules.md [The decoder's threads].
    if (cores < 2) return 1;
    if (!decoderThreadsFollowCosts(cores)) return 0;
    // On two cores, two frames each: FFmpeg's three leave a core idle while
    // a frame waits on the one before it, and the encoders share those cores.
    constexpr int kTwoCoreFrameThreads = 4;
    if (!costs.known()) return kTwoCoreFrameThreads;
    // Frame threads take turns with the encoders and cost about two thirds
    // more CPU in all, handing pictures over: they pay only where the
    // reader outweighs the encoders about threefold.
    constexpr double kReaderToEncoders = 3.0;
    return costs.reader <= kReaderToEncoders * (costs.video + costs.audio) ? 1
                                                                           : kTwoCoreFrameThreads;
}

}  // namespace velmora::encoder
