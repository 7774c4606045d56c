// FFmpeg's calls that allocate, failing on demand (engine_support.h).
// Defined in the test program, they take the library's place for the
// engine's calls, which are linked in with it; each passes every call it
// does not fail on to the library's own.
#include <dlfcn.h>

#include "engine_support.h"

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
}

namespace velmora::encoder::testing {

FailingCall failingPacketClone;
FailingCall failingPacketRead;

namespace {

template <class Function>
Function library(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace
}  // namespace velmora::encoder::testing

using velmora::encoder::testing::library;

extern "C" AVPacket* av_packet_clone(const AVPacket* src) {
    static const auto clone = library<AVPacket* (*)(const AVPacket*)>("av_packet_clone");
    if (velmora::encoder::testing::failingPacketClone.failsNow()) return nullptr;
    return clone(src);
}

extern "C" int av_read_frame(AVFormatContext* s, AVPacket* pkt) {
    static const auto read = library<int (*)(AVFormatContext*, AVPacket*)>("av_read_frame");
    if (velmora::encoder::testing::failingPacketRead.failsNow()) return AVERROR(ENOMEM);
    return read(s, pkt);
}
