#pragma once
// The stages' one way to take what a decoder has ready: a frame that does
// not decode is counted as damage and skipped, as the ffmpeg CLI skips it,
// rather than failing the job.

#include <cstdint>

#include "engine/core/ffmpeg_ptr.h"
#include "engine/core/status.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

// Hands each frame `decoder` has ready to `use`, then unreferences it, until
// it has none or `failed` is set. A frame that fails to decode adds
// `lostSeconds` (read at that moment) to `damagedSeconds`; each decoded one
// counts in `decoded`.
template <class Use>
Status receiveDecoded(AVCodecContext& decoder, AVFrame& frame, const bool& failed,
                      const double& lostSeconds, double& damagedSeconds, std::int64_t& decoded,
                      Use use) {
    while (!failed) {
        const int ret = avcodec_receive_frame(&decoder, &frame);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
        if (ret == AVERROR(ENOMEM)) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        if (ret < 0) {
            damagedSeconds += lostSeconds;
            continue;
        }
        ++decoded;
        Status s = use(frame);
        av_frame_unref(&frame);
        if (!s) return s;
    }
    return Status::ok();
}

}  // namespace velmora::encoder
