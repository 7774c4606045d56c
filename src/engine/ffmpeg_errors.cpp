#include <cerrno>

#include "engine/ffmpeg_ptr.h"

namespace velmora::encoder {

std::string describeError(int code) {
    switch (code) {
        case AVERROR(ENOENT):
            return text::kCauseNoSuchFile;
        case AVERROR(EACCES):
        case AVERROR(EPERM):
        case AVERROR(EROFS):
            return text::kCauseNoPermission;
        case AVERROR_INVALIDDATA:
        case AVERROR_PATCHWELCOME:
        case AVERROR_BUG:
        case AVERROR_BUG2:
        case AVERROR_EOF:
            return text::kCauseNotMedia;
        case AVERROR_DECODER_NOT_FOUND:
        case AVERROR_DEMUXER_NOT_FOUND:
            return text::kCauseNoCodec;
        case AVERROR(ENOSPC):
        case AVERROR(EDQUOT):
            return text::kCauseDiskFull;
        case AVERROR(EFBIG):
            return text::kCauseTooBig;
        case AVERROR(ENAMETOOLONG):
            return text::kCauseNameTooLong;
        case AVERROR(EISDIR):
            return text::kCauseIsFolder;
        case AVERROR(EIO):
            return text::kCauseDeviceError;
        case AVERROR(ENOMEM):
            return text::kOutOfMemory;
        default:
            return text::withReason(text::kCauseUnknown, ffmpegError(code));
    }
}

}  // namespace velmora::encoder
