#pragma once
// What every fuzz target needs: a fault that libFuzzer records (an abort
// with the reason on stderr), a scratch folder of the process's own, and
// FFmpeg kept quiet.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

namespace velmora::fuzz {

// A property the target checks does not hold: libFuzzer keeps the input.
[[noreturn]] inline void fault(const std::string& what) {
    std::fprintf(stderr, "FUZZ FAULT: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void expect(bool holds, const std::string& what) {
    if (!holds) fault(what);
}

// A folder under the system's temporary folder for this process alone,
// removed when the process ends normally.
class Scratch {
  public:
    Scratch() {
        path_ =
            std::filesystem::temp_directory_path() / ("velmora-fuzz-" + std::to_string(::getpid()));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
        av_log_set_level(AV_LOG_QUIET);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }

    // Writes `size` bytes at `data` to `name` in the folder; its path.
    std::string put(const std::string& name, const void* data, std::size_t size) const {
        const std::string path = file(name);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        expect(bool(out), "cannot write " + path);
        return path;
    }

  private:
    std::filesystem::path path_;
};

}  // namespace velmora::fuzz
