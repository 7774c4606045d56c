#pragma once
// One owner per FFmpeg object: unique_ptr with the library's own free
// function, so no early return can leak.

#include <memory>
#include <string>

#include "engine/core/status.h"
#include "texts/encoder_texts.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace velmora::encoder {

// The opaque of an AVIOContext of ours that an input context reads the
// source through (see source_reader.h). FFmpeg leaves such a context to its
// owner: closeCustomReader frees it, its reader and what the reader reads.
struct CustomReader {
    CustomReader() = default;
    CustomReader(const CustomReader&) = delete;
    CustomReader& operator=(const CustomReader&) = delete;
    virtual ~CustomReader() = default;
};

inline void closeCustomReader(AVIOContext* pb) {
    if (!pb) return;
    delete static_cast<CustomReader*>(pb->opaque);
    av_freep(&pb->buffer);
    avio_context_free(&pb);
}

struct InputContextFree {
    void operator()(AVFormatContext* c) const {
        AVIOContext* own = c->flags & AVFMT_FLAG_CUSTOM_IO ? c->pb : nullptr;
        avformat_close_input(&c);
        closeCustomReader(own);
    }
};
struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct CodecParametersFree {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
struct SwsFree {
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};
struct SwrFree {
    void operator()(SwrContext* c) const { swr_free(&c); }
};
struct AudioFifoFree {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoFree>;

inline FramePtr makeFrame() {
    return FramePtr(av_frame_alloc());
}
inline PacketPtr makePacket() {
    return PacketPtr(av_packet_alloc());
}

inline CodecParametersPtr makeCodecParameters() {
    return CodecParametersPtr(avcodec_parameters_alloc());
}

inline std::string ffmpegError(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

// Our own failure code beside FFmpeg's: a source refused because too many
// reads given up on are still held by the kernel (source_file.h).
inline constexpr int kHeldCallsRefusal = FFERRTAG('H', 'E', 'L', 'D');

// The cause of a failed FFmpeg or system call in the user's words; FFmpeg's
// English only for causes without a sentence of ours.
std::string describeError(int code);

// The kind of failure an FFmpeg or system error code is; `otherwise` for
// those that say nothing more than the call that failed.
ErrorKind errorKindOf(int code, ErrorKind otherwise);

// A failed FFmpeg call as the user reads it: what failed, and why.
inline Status ffmpegFailure(const char* what, int code, ErrorKind otherwise) {
    return Status::fail(errorKindOf(code, otherwise), text::withSubject(what, describeError(code)));
}

}  // namespace velmora::encoder
