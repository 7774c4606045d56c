#include "engine/core/ffmpeg_ptr.h"
#include "engine/core/system_error.h"

namespace velmora::encoder {

std::string describeError(int code) {
    // A system call's failure: FFmpeg hands back AVERROR(errno), that is -errno.
    if (code < 0) {
        if (const char* cause = knownCause(-code)) return cause;
    }
    switch (code) {
        case AVERROR_INVALIDDATA:
        case AVERROR_PATCHWELCOME:
        case AVERROR_BUG:
        case AVERROR_BUG2:
        case AVERROR_EOF:
            return text::kCauseNotMedia;
        case kHeldCallsRefusal:
            return text::kCauseReadsHeld;
        case AVERROR_DECODER_NOT_FOUND:
        case AVERROR_DEMUXER_NOT_FOUND:
            return text::kCauseNoCodec;
        default:
            return text::withReason(text::kCauseUnknown, ffmpegError(code));
    }
}

ErrorKind errorKindOf(int code, ErrorKind otherwise) {
    if (code == AVERROR_EXIT) return ErrorKind::Interrupted;
    // FFmpeg's own codes are all below the errno range.
    if (code < 0 && code > -4096) return errnoKind(-code, otherwise);
    return otherwise;
}

}  // namespace velmora::encoder
