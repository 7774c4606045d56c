#include "engine/output/preview.h"

#include <cstring>

#include "engine/core/real_video_codec_data.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

FramePtr copyPicture(const AVFrame& frame) {
    FramePtr copy = makeFrame();
    if (!copy) return nullptr;
    copy->width = frame.width;
    copy->height = frame.height;
    copy->format = frame.format;
    if (av_frame_get_buffer(copy.get(), 0) < 0 || av_frame_copy(copy.get(), &frame) < 0)
        return nullptr;
    copy->pts = frame.pts;
    return copy;
}

FramePtr toRgb32(const AVFrame& frame, int width, int height) {
    if (frame.width <= 0 || frame.height <= 0 || width <= 0 || height <= 0) return nullptr;
    SwsPtr sws(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
                              width, height, AV_PIX_FMT_RGB32, SWS_BICUBIC, nullptr, nullptr,
                              nullptr));
    // FFmpeg's own buffer: the scaler may write past the last pixel of a line.
    FramePtr rgb = makeFrame();
    if (!sws || !rgb) return nullptr;
    rgb->width = width;
    rgb->height = height;
    rgb->format = AV_PIX_FMT_RGB32;
    if (av_frame_get_buffer(rgb.get(), 0) < 0 ||
        sws_scale(sws.get(), frame.data, frame.linesize, 0, frame.height, rgb->data,
                  rgb->linesize) <= 0)
        return nullptr;
    return rgb;
}

Status PreviewDecoder::open(const AVCodecContext& encoder) {
    const AVCodec* codec = avcodec_find_decoder(encoder.codec_id);
    if (!codec) return Status::fail(ErrorKind::Internal, text::kEncodeFailed);
    decoder_.reset(avcodec_alloc_context3(codec));
    frame_ = makeFrame();
    if (!decoder_ || !frame_) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    CodecParametersPtr params = makeCodecParameters();
    if (!params || avcodec_parameters_from_context(params.get(), &encoder) < 0 ||
        avcodec_parameters_to_context(decoder_.get(), params.get()) < 0)
        return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    // The encoder leaves extradata empty; the decoder needs the codec data
    // the file's header gives a player.
    if (decoder_->extradata_size < 8) {
        const std::vector<std::uint8_t> codecData =
            defaultRealVideoCodecData(encoder.codec_id == AV_CODEC_ID_RV10);
        av_freep(&decoder_->extradata);
        decoder_->extradata =
            static_cast<std::uint8_t*>(av_mallocz(codecData.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!decoder_->extradata) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        std::memcpy(decoder_->extradata, codecData.data(), codecData.size());
        decoder_->extradata_size = static_cast<int>(codecData.size());
    }
    decoder_->thread_count = 1;
    const int ret = avcodec_open2(decoder_.get(), codec, nullptr);
    if (ret < 0) return ffmpegFailure(text::kEncodeFailed, ret, ErrorKind::Internal);
    return Status::ok();
}

void PreviewDecoder::show(const AVPacket& packet, AVRational timeBase, FramePtr& source,
                          JobPreview& preview) {
    // The decoder takes frames as a RealMedia reader hands them over: a
    // slice table first (count - 1, then per slice a flag and an offset).
    constexpr int kTable = 9;
    PacketPtr framed = makePacket();
    if (!framed || av_new_packet(framed.get(), packet.size + kTable) < 0) return;
    std::memset(framed->data, 0, kTable);
    framed->data[1] = 1;
    std::memcpy(framed->data + kTable, packet.data, packet.size);
    framed->pts = framed->dts = packet.pts;
    if (avcodec_send_packet(decoder_.get(), framed.get()) < 0) return;
    while (avcodec_receive_frame(decoder_.get(), frame_.get()) >= 0) {
        if (source) {
            PreviewFrames pair;
            pair.output = copyPicture(*frame_);
            pair.timeMs = av_rescale_q(source->pts, timeBase, {1, 1000});
            pair.source = std::move(source);
            if (pair.output) preview.frames.put(std::move(pair));
        }
        av_frame_unref(frame_.get());
    }
}

}  // namespace velmora::encoder
