#pragma once
// Audio: decode the source stream, resample to what the encoder takes and
// cut the result into the encoder's frame size. Timestamps are sample counts
// (time base 1/sample rate) so the sound runs gap-free from the start.

#include <memory>
#include <span>
#include <vector>

#include "engine/core/ffmpeg_ptr.h"
#include "engine/core/status.h"
#include "engine/plan/encode_plan.h"
#include "engine/stages/video_stage.h"

namespace velmora::encoder {

Status openAudioEncoder(const AudioPlan& plan, CodecContextPtr& encoder);

// The source's sound decoded once and converted for each output (one per
// distinct sound among the job's files), each in the frame size of its own
// encoder.
class AudioConverter {
  public:
    // `encoders` must be open; only their format, layout, rate and frame
    // size are read. One output each, in the order of the sinks given later.
    Status open(const AVStream& stream, std::span<const AVCodecContext* const> encoders,
                std::int64_t originUs);
    // One packet of the source stream; one sink per output. One that does
    // not decode is skipped and counted, and silence takes its place so the
    // sound stays in step.
    Status sendPacket(const AVPacket& packet, std::span<const FrameSink> sinks);
    // End of the source: drains decoder and resamplers, sends the last short frames.
    Status drain(std::span<const FrameSink> sinks);
    // A stop: sends what is already converted.
    Status finish(std::span<const FrameSink> sinks);

    // Source time in packets that did not decode.
    double damagedSeconds() const { return damagedSeconds_; }
    std::int64_t framesDecoded() const { return framesDecoded_; }

  private:
    // What one encoder takes, and the samples on their way to it.
    struct Output {
        Output() = default;
        Output(const Output&) = delete;
        Output& operator=(const Output&) = delete;
        ~Output() {
            av_channel_layout_uninit(&outLayout);
            av_channel_layout_uninit(&inLayout);
        }
        Status addSilence(int samples, const FrameSink& sink, bool& failedEmit);
        Status accept(const AVFrame* decoded, double at, bool started, const FrameSink& sink,
                      bool& failedEmit);
        Status ensureResampler(const AVFrame& decoded);
        // A frame of the encoder's format with room for `samples`; null when out of memory.
        FramePtr outputFrame(int samples) const;
        Status emitFrames(int minimum, const FrameSink& sink, bool& failedEmit);

        SwrPtr resampler;
        AudioFifoPtr fifo;
        AVSampleFormat outFormat = AV_SAMPLE_FMT_NONE;
        AVChannelLayout outLayout{};
        int outRate = 0;
        int frameSize = 0;
        std::int64_t samplesOut = 0;
        // Input the resampler was set up for; a change mid-stream rebuilds it.
        int inFormat = -1, inRate = 0;
        AVChannelLayout inLayout{};
    };

    Status receiveFrames(std::span<const FrameSink> sinks);

    CodecContextPtr decoder_;
    FramePtr decoded_;
    std::vector<std::unique_ptr<Output>> outputs_;
    AVRational streamTimeBase_{1, 1};
    double originSeconds_ = 0;
    bool started_ = false;
    bool failedEmit_ = false;  // a sink refused: the job is being torn down
    double damagedSeconds_ = 0;
    double lastFrameSeconds_ = 0;  // the last decoded frame's length, for packets without one
    std::int64_t framesDecoded_ = 0;
};

}  // namespace velmora::encoder
