#pragma once
// Opens the source read-only and finds what there is to encode in it: the
// first video stream (cover pictures aside) and the first audio stream.

#include <cstdint>
#include <string>

#include "engine/encode_plan.h"
#include "engine/ffmpeg_ptr.h"
#include "engine/status.h"

namespace velmora::encoder {

struct MediaSource {
    InputContextPtr format;
    int videoIndex = -1;
    int audioIndex = -1;
    std::int64_t durationMs = 0;  // 0 when unknown
    std::int64_t startUs = 0;     // the source's first timestamp, AV_TIME_BASE units
    SourceShape shape;
};

// Fails with a message for the user when the file cannot be opened or holds
// neither decodable audio nor video.
Status openMediaSource(const std::string& path, MediaSource& source);

// Opens a decoder for one of the source's streams; `threadCount` 0 lets
// FFmpeg choose.
Status openDecoder(const AVStream& stream, int threadCount, CodecContextPtr& decoder);

}  // namespace velmora::encoder
