#include "engine/rm/written_stream.h"

#include "engine/core/real_video_codec_data.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder::rm {

Status describeStream(const AVCodecParameters& params, int timeBaseNum, int timeBaseDen,
                      WrittenStream& s) {
    const Status refused = Status::fail(ErrorKind::Internal, text::kBadStreamSettings);
    s.timeBaseNum = timeBaseNum;
    s.timeBaseDen = timeBaseDen;
    s.declaredBitRate = params.bit_rate;
    switch (params.codec_id) {
        case AV_CODEC_ID_RV10:
        case AV_CODEC_ID_RV20:
            if (params.width <= 0 || params.height <= 0 || params.width > 0xFFFF ||
                params.height > 0xFFFF)
                return refused;
            s.kind = StreamKind::Video;
            s.rv10 = params.codec_id == AV_CODEC_ID_RV10;
            s.width = params.width;
            s.height = params.height;
            // The decoders need the sub-format and version words; FFmpeg's
            // encoders leave them to the container.
            if (params.extradata_size >= 8)
                s.codecData.assign(params.extradata, params.extradata + params.extradata_size);
            else
                s.codecData = defaultRealVideoCodecData(s.rv10);
            return Status::ok();
        case AV_CODEC_ID_RA_144:
            if (params.sample_rate != k144SampleRate || params.ch_layout.nb_channels != 1)
                return refused;
            s.kind = StreamKind::Audio144;
            s.sampleRate = params.sample_rate;
            s.channels = 1;
            return Status::ok();
        case AV_CODEC_ID_AC3:
            if (params.sample_rate <= 0 || params.sample_rate > 0xFFFF ||
                params.ch_layout.nb_channels <= 0 || params.ch_layout.nb_channels > 6)
                return refused;
            s.kind = StreamKind::Ac3;
            s.sampleRate = params.sample_rate;
            s.channels = params.ch_layout.nb_channels;
            return Status::ok();
        default:
            return Status::fail(ErrorKind::Internal, text::kUnsupportedCodec);
    }
}

}  // namespace velmora::encoder::rm
