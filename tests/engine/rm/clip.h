#pragma once
// Test clips made with FFmpeg's own encoders, so the writer's tests do not
// depend on the encoding engine: RealVideo from generated frames (a moving
// gradient with noise), 14.4 and AC-3 from a generated tone.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "engine/core/ffmpeg_ptr.h"
#include "engine/core/media_writer.h"

namespace velmora::encoder::rmtest {

using ParamsPtr = CodecParametersPtr;

struct EncodedStream {
    ParamsPtr params;
    int timeBaseNum = 1;
    int timeBaseDen = 1;
    std::vector<PacketPtr> packets;

    double seconds(std::int64_t ts) const {
        return static_cast<double>(ts) * timeBaseNum / timeBaseDen;
    }
};

struct VideoSettings {
    AVCodecID codec = AV_CODEC_ID_RV20;
    int width = 176;
    int height = 144;
    int fps = 10;
    double seconds = 4;
    int gop = 10;
    std::int64_t bitRate = 60000;
    int qmin = 2;
    bool noisy = true;
};

EncodedStream encodeVideo(const VideoSettings& settings);
EncodedStream encode144(double seconds);
EncodedStream encodeAc3(int sampleRate, int channels, std::int64_t bitRate, double seconds);

// Declares `streams` on `writer` and feeds their packets interleaved in time
// order. Stops (without finish()) after `maxPackets` packets.
Status writeStreams(MediaWriter& writer, const std::string& path,
                    const std::vector<const EncodedStream*>& streams, const MediaMetadata& metadata,
                    std::size_t maxPackets = std::numeric_limits<std::size_t>::max());

// The packets of `streams` in the order writeStreams() feeds them: (stream, packet).
std::vector<std::pair<int, const AVPacket*>> interleave(
    const std::vector<const EncodedStream*>& streams);

}  // namespace velmora::encoder::rmtest
