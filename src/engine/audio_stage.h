#pragma once
// Audio: decode the source stream, resample to what the encoder takes and
// cut the result into the encoder's frame size. Timestamps are sample counts
// (time base 1/sample rate) so the sound runs gap-free from the start.

#include "engine/encode_plan.h"
#include "engine/ffmpeg_ptr.h"
#include "engine/status.h"
#include "engine/video_stage.h"

namespace velmora::encoder {

Status openAudioEncoder(const AudioPlan& plan, CodecContextPtr& encoder);

class AudioConverter {
  public:
    AudioConverter() = default;
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;
    ~AudioConverter() {
        av_channel_layout_uninit(&outLayout_);
        av_channel_layout_uninit(&inLayout_);
    }

    // `encoder` must be open; only its format, layout, rate and frame size are read.
    Status open(const AVStream& stream, const AVCodecContext& encoder, std::int64_t originUs);

    // One packet of the source stream. One that does not decode is skipped
    // and counted, and silence takes its place so the sound stays in step.
    Status sendPacket(const AVPacket& packet, const FrameSink& sink);
    // End of the source: drains decoder and resampler, sends the last short frame.
    Status drain(const FrameSink& sink);
    // A stop: sends what is already converted.
    Status finish(const FrameSink& sink);

    // Source time in packets that did not decode.
    double damagedSeconds() const { return damagedSeconds_; }
    std::int64_t framesDecoded() const { return framesDecoded_; }

  private:
    Status receiveFrames(const FrameSink& sink);
    Status addSilence(int samples, const FrameSink& sink);
    Status accept(const AVFrame* decoded, const FrameSink& sink);
    Status ensureResampler(const AVFrame& decoded);
    // A frame of the encoder's format with room for `samples`; null when out of memory.
    FramePtr outputFrame(int samples) const;
    Status emitFrames(int minimum, const FrameSink& sink);

    CodecContextPtr decoder_;
    SwrPtr resampler_;
    AudioFifoPtr fifo_;
    FramePtr decoded_;
    AVRational streamTimeBase_{1, 1};
    double originSeconds_ = 0;
    AVSampleFormat outFormat_ = AV_SAMPLE_FMT_NONE;
    AVChannelLayout outLayout_{};
    int outRate_ = 0;
    int frameSize_ = 0;
    std::int64_t samplesOut_ = 0;
    bool started_ = false;
    bool failedEmit_ = false;
    double damagedSeconds_ = 0;
    double lastFrameSeconds_ = 0;  // the last decoded frame's length, for packets without one
    std::int64_t framesDecoded_ = 0;
    // Input the resampler was set up for; a change mid-stream rebuilds it.
    int inFormat_ = -1, inRate_ = 0;
    AVChannelLayout inLayout_{};
};

}  // namespace velmora::encoder
