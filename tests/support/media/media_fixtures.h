#pragma once
// Media for tests: short clips generated with the ffmpeg CLI (grain and
// noise, not only test patterns, so the encoder has real work), a scratch
// folder that cleans up after itself, and a reader that tells what a file
// holds as FFmpeg's demuxer and decoders see it.

#include <cstdint>
#include <optional>
#include <string>

namespace velmora::testing::media {

struct ClipShape {
    double seconds = 8;
    bool video = true;
    int width = 320, height = 240, fps = 25;
    bool grain = true;        // moving noise over the pattern
    bool stillGrain = false;  // the same heavy noise on every frame instead
    bool slides = false;      // stills instead, a hard cut every `slideSeconds`
    int slideSeconds = 2;
    bool variableFrameRate = false;  // uneven frame intervals averaging 25 fps
    bool audio = true;
    int sampleRate = 44100;
    const char* channelLayout = "stereo";  // "mono", "stereo", "5.1"
    double audioStartSeconds = 0;          // sound that starts after the picture
    double audioAheadSeconds = 0;          // sound stored this far ahead of its picture in the file
    // The sound pauses this long at `soundPauseAt` while the picture goes on.
    double soundPauseAt = 0, soundPauseSeconds = 0;
    // Every stream's clock jumps this far ahead at `clockJumpAt`.
    double clockJumpAt = 0, clockJumpSeconds = 0;
    const char* extension = "mkv";
    // The video encoder and its options, when not the default fast H.264
    // (e.g. B-frames in open groups, whose leading pictures refer back).
    const char* videoCodec = nullptr;
};

// A folder under the system's temporary folder, removed with everything in it.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Writes the clip to `path` (any folder, any name). False when ffmpeg failed.
bool makeClip(const std::string& path, const ClipShape& shape);

// Generates a clip once per test program and returns its path.
const std::string& cachedClip(const std::string& name, const ClipShape& shape);

struct StreamInfo {
    std::string codec;  // FFmpeg's codec name, e.g. "rv20", "ra_144", "ac3"
    int width = 0, height = 0;
    double frameRate = 0;
    int channels = 0, sampleRate = 0;
    std::int64_t packets = 0;
    double decodedSeconds = 0;  // audio: samples decoded / rate
};

struct MediaInfo {
    bool opened = false;
    std::string error;
    double durationSeconds = 0;  // the container's own figure
    std::optional<StreamInfo> video, audio;
    std::int64_t fileBytes = 0;

    // How long the content plays: the container's duration, or the decoded
    // sound where the container does not know it (rm with 14.4 audio).
    double playSeconds() const;
};

// Reads every packet and decodes the audio.
MediaInfo probe(const std::string& path);

// SHA-256 of the file's bytes, hex; empty when it cannot be read.
std::string fileDigest(const std::string& path);

bool fileExists(const std::string& path);

// Sets the file's modification time `seconds` into the past.
bool makeOlder(const std::string& path, int seconds);

// Names in `folder` that start with a dot (the encoder's temporary files).
int hiddenFileCount(const std::string& folder);

}  // namespace velmora::testing::media
