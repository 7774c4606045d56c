// xine_play: plays one file through libxine's RealMedia demuxer and says
// what came out, for the reader tests.
//
//   xine_play FILE [START_MS]
//
// Prints the streams xine found (their four-letter codes and whether it has
// a decoder for them), then the video frames shown, where playback stood
// when the first one was shown, and the audio samples per channel played,
// with their rate. Pictures go to xine's "raw" output, which hands every
// frame to us; sound to its WAV-file output. Both play in real time, so keep
// the files short. START_MS starts playback there, as a seek would.
#include <unistd.h>
#include <xine.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::atomic<bool> finished{false};
std::atomic<long> frames{0};
std::atomic<int> firstFrameMs{-1};
xine_stream_t* stream = nullptr;

void onEvent(void*, const xine_event_t* event) {
    if (event->type == XINE_EVENT_UI_PLAYBACK_FINISHED) finished = true;
}

void onFrame(void*, int, int, int, double, void*, void*, void*) {
    if (frames++ == 0 && stream) {
        int posStream = 0, posTime = 0, length = 0;
        if (xine_get_pos_length(stream, &posStream, &posTime, &length)) firstFrameMs = posTime;
    }
}

void onOverlay(void*, int, raw_overlay_t*) {}

std::string fourcc(std::uint32_t code) {
    if (code == 0) return "none";
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((code >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

std::uint32_t littleEndian(const unsigned char* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: xine_play FILE [START_MS]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int startMs = argc > 2 ? std::atoi(argv[2]) : 0;
    char wavTemplate[] = "/tmp/xine-play-XXXXXX";
    const int fd = mkstemp(wavTemplate);
    if (fd < 0) return 2;
    close(fd);
    const std::string wav = wavTemplate;
    setenv("XINE_WAVE_OUTPUT", wav.c_str(), 1);  // read by xine's "file" audio output

    xine_t* xine = xine_new();
    xine_init(xine);
    raw_visual_t visual{};
    visual.supported_formats = XINE_VORAW_YV12 | XINE_VORAW_YUY2;
    visual.raw_output_cb = onFrame;
    visual.raw_overlay_cb = onOverlay;
    xine_video_port_t* video = xine_open_video_driver(xine, "raw", XINE_VISUAL_TYPE_RAW, &visual);
    xine_audio_port_t* audio = xine_open_audio_driver(xine, "file", nullptr);
    if (!video || !audio) {
        std::printf("error=no output ports\n");
        return 2;
    }
    stream = xine_stream_new(xine, audio, video);
    xine_event_queue_t* queue = xine_event_new_queue(stream);
    xine_event_create_listener_thread(queue, onEvent, nullptr);

    // Force the RealMedia demuxer rather than whatever probes first.
    const std::string mrl = std::string(argv[1]) + "#demux:real";
    if (!xine_open(stream, mrl.c_str())) {
        std::printf("error=open failed (%d)\n", xine_get_error(stream));
        return 1;
    }
    std::printf("video=%s video_handled=%d audio=%s audio_handled=%d\n",
                xine_get_stream_info(stream, XINE_STREAM_INFO_HAS_VIDEO)
                    ? fourcc(xine_get_stream_info(stream, XINE_STREAM_INFO_VIDEO_FOURCC)).c_str()
                    : "none",
                xine_get_stream_info(stream, XINE_STREAM_INFO_VIDEO_HANDLED),
                xine_get_stream_info(stream, XINE_STREAM_INFO_HAS_AUDIO)
                    ? fourcc(xine_get_stream_info(stream, XINE_STREAM_INFO_AUDIO_FOURCC)).c_str()
                    : "none",
                xine_get_stream_info(stream, XINE_STREAM_INFO_AUDIO_HANDLED));

    if (!xine_play(stream, 0, startMs)) {
        std::printf("error=play failed (%d)\n", xine_get_error(stream));
        finished = true;
    }
    // Give up well after the stated length.
    int posStream = 0, posTime = 0, lengthMs = 0;
    xine_get_pos_length(stream, &posStream, &posTime, &lengthMs);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(std::max(lengthMs - startMs, 0) + 20000);
    while (!finished && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!finished) std::printf("error=playback did not finish\n");

    xine_close(stream);
    xine_event_dispose_queue(queue);
    xine_dispose(stream);
    stream = nullptr;
    xine_close_audio_driver(xine, audio);
    xine_close_video_driver(xine, video);
    xine_exit(xine);

    long samples = 0;
    std::uint32_t rate = 0;
    if (FILE* f = std::fopen(wav.c_str(), "rb")) {
        unsigned char head[44] = {};
        if (std::fread(head, 1, sizeof head, f) == sizeof head) {
            const std::uint32_t channels = littleEndian(head + 22, 2);
            rate = littleEndian(head + 24, 4);
            const std::uint32_t bits = littleEndian(head + 34, 2);
            std::fseek(f, 0, SEEK_END);
            const long data = std::ftell(f) - 44;
            if (channels > 0 && bits >= 8) samples = data / static_cast<long>(channels * bits / 8);
        }
        std::fclose(f);
    }
    std::remove(wav.c_str());
    std::printf("video_frames=%ld first_video_ms=%d audio_samples=%ld audio_rate=%u\n",
                frames.load(), firstFrameMs.load(), samples, rate);
    return 0;
}
