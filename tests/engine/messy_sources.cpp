#include "engine/messy_sources.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace velmora::encoder::testing {

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool ffmpeg(const std::string& args) {
    return std::system(("ffmpeg -nostdin -v error -y " + args + " 2>&1").c_str()) == 0;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return bool(out);
}

FifoFeed::FifoFeed(std::string fifo, const std::string& file)
    : fifo_(std::move(fifo)), bytes_(readAll(file)) {
    thread_ = std::thread([this] {
        // A reader that leaves early makes the writes fail, not the test end.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        const int fd = ::open(fifo_.c_str(), O_WRONLY | O_CLOEXEC);
        for (std::size_t at = 0; fd >= 0 && at < bytes_.size();) {
            const ssize_t put = ::write(fd, bytes_.data() + at, bytes_.size() - at);
            if (put <= 0) break;
            at += static_cast<std::size_t>(put);
        }
        if (fd >= 0) ::close(fd);
        done_ = true;
    });
}

void FifoFeed::join() {
    if (!thread_.joinable()) return;
    // Still waiting in open() for a reader: be one and leave at once, so
    // that its writes fail. (A writer held on a full FIFO is let go when
    // its last reader closes, which the callers wait for first.)
    while (!done_) {
        const int fd = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    thread_.join();
}

bool makeJump(const std::string& path, bool picture) {
    const std::string jump = "setpts='PTS+gte(T\\,2)*36000/TB'";
    if (!picture)
        return ffmpeg(std::string(kSound) + "-af " + quoted("atrim=duration=4,a" + jump) +
                      " -c:a aac " + quoted(path));
    return ffmpeg(
        std::string(kPicture) + kSound + "-filter_complex " +
        quoted("[0:v]trim=duration=4," + jump + "[v];[1:a]atrim=duration=4,a" + jump + "[a]") +
        " -map '[v]' -map '[a]' -c:v libx264 -preset ultrafast -c:a aac " + quoted(path));
}

bool makeAviClaiming(const std::string& path, std::uint32_t scale, std::uint32_t rate, bool sound) {
    if (!ffmpeg(std::string(kPicture) + (sound ? kSound : "") +
                "-c:v mpeg4 -q:v 5 -c:a pcm_s16le -t 6 " + quoted(path)))
        return false;
    std::string bytes = readAll(path);
    std::size_t strh = bytes.find("strh");
    while (strh != std::string::npos && bytes.compare(strh + 8, 4, "vids") != 0)
        strh = bytes.find("strh", strh + 4);
    const std::size_t avih = bytes.find("avih");
    if (strh == std::string::npos || avih == std::string::npos) return false;
    const auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
    };
    put(strh + 28, scale);  // dwScale, dwRate of the video stream header
    put(strh + 32, rate);
    put(avih + 8, static_cast<std::uint32_t>(
                      std::min<std::uint64_t>(std::uint64_t{scale} * 1'000'000 / rate, ~0u)));
    return writeAll(path, bytes);
}

ChildRun runEncoder(const std::string& source, const std::string& out, const std::string& log,
                    std::chrono::seconds limit, std::vector<std::string> wrapper) {
    ChildRun r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = std::move(wrapper);
    args.insert(args.end(), {VELMORA_ENCODE_BIN, source, out});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return r;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    // The kernel's ru_maxrss of a spawned child also counts this process's
    // size when it spawned it (a vfork shares our memory until the exec),
    // so the child's own high-water mark is read while it runs.
    const std::string statusFile = "/proc/" + std::to_string(pid) + "/status";
    const auto readPeak = [&] {
        std::ifstream in(statusFile);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("VmHWM:", 0) == 0)
                r.peakKb = std::max(r.peakKb, std::atol(line.c_str() + 6));
    };
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        readPeak();
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.output = readAll(log);
    return r;
}

}  // namespace velmora::encoder::testing
