// A whole job through the engine's API (engine/job/engine.h) on a small source
// of any bytes: mutated files of the containers and codecs we take, for one
// or two audiences. It must end, within libFuzzer's time and memory limits,
// either with files FFmpeg reads and decodes without an error, or with a
// refusal that says what went wrong; and it leaves nothing else behind.
// A few bytes may rightly ask for a long file (the length a container
// states, pauses of a few seconds kept): such a job is stopped after
// kPatience, as 停止 stops it, and the shorter files it keeps must decode
// all the same.
//
// Input: the source's bytes, then (from the end) two bytes choosing the
// audiences, the sound and the picture.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>

#include "engine/job/engine.h"
#include "fuzz_support.h"
#include "tests/engine/rm/rm_file.h"

namespace velmora::fuzz {
namespace {

using namespace encoder;
namespace fs = std::filesystem;

constexpr std::chrono::seconds kPatience{20};

class Ending : public JobObserver {
  public:
    void jobProgress(const JobProgress&) override {}
    void jobFinished(const JobResult& result) override {
        std::lock_guard lock(mutex_);
        result_ = result;
        ended_.notify_all();
    }
    bool waitFor(std::chrono::seconds patience) {
        std::unique_lock lock(mutex_);
        return ended_.wait_for(lock, patience, [&] { return result_.has_value(); });
    }
    JobResult result() {
        std::lock_guard lock(mutex_);
        return *result_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    std::optional<JobResult> result_;
};

// What is in `folder` now but `source`.
std::set<std::string> leftBehind(const fs::path& folder, const std::string& source) {
    std::set<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(folder))
        if (e.path() != source) names.insert(e.path().string());
    return names;
}

void refusalSaysWhy(const Status& s) {
    expect(!s.message().empty(), "a refusal without a message");
    expect(s.kind() != ErrorKind::Internal, "a refusal of our own making: " + s.message());
}

void encodeOnce(const std::uint8_t* data, std::size_t size) {
    static const Scratch scratch;
    FuzzedDataProvider in(data, size);
    const auto audiences = in.ConsumeIntegral<std::uint8_t>();
    const auto content = in.ConsumeIntegral<std::uint8_t>();
    const std::vector<std::uint8_t> bytes = in.ConsumeRemainingBytes<std::uint8_t>();

    const fs::path folder = fs::path(scratch.file("job"));
    fs::remove_all(folder);
    fs::create_directories(folder);
    JobSettings job;
    job.source = (folder / "source").string();
    std::ofstream(job.source, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    job.destination = (folder / "out.rm").string();
    const auto first = static_cast<Audience>(audiences % kAudienceCount);
    const auto second = static_cast<Audience>((audiences / kAudienceCount) % kAudienceCount);
    job.audiences = audiences & 0x80 ? audienceSet({first, second}) : audienceSet({first});
    job.audioContent = content % 5;
    job.videoQuality = content / 5 % 5;

    Ending ending;
    Engine engine;
    if (const Status s = engine.start(job, ending); !s) {
        refusalSaysWhy(s);
        expect(leftBehind(folder, job.source).empty(), "a refused job left a file behind");
        return;
    }
    const bool ended = ending.waitFor(kPatience);
    if (!ended) engine.stop();
    engine.wait();
    const JobResult result = ending.result();
    expect(result.outcome != JobOutcome::Stopped || !ended,
           "a job nobody stopped says it was stopped");
    if (result.outcome == JobOutcome::Failed) {
        refusalSaysWhy(Status::fail(result.errorKind, result.message));
        expect(leftBehind(folder, job.source).empty(), "a failed job left a file behind");
        return;
    }
    std::set<std::string> made;
    for (const JobResult::File& file : result.files) {
        // (A job stopped before its first packet keeps nothing.)
        if (file.bytes == 0 && result.outcome == JobOutcome::Stopped) continue;
        expect(file.bytes > 0 && fs::exists(file.destination) &&
                   fs::file_size(file.destination) == static_cast<std::uintmax_t>(file.bytes),
               "a job's file is missing or not the size it says");
        made.insert(file.destination);
        const rmtest::FfmpegReport read = rmtest::readWithFfmpeg(file.destination);
        expect(read.opened && !read.streams.empty(), "FFmpeg cannot open a job's file");
        expect(read.decodeErrors == 0 && read.corruptPackets == 0,
               "a job's file does not decode cleanly: " + file.destination);
    }
    expect(result.outcome == JobOutcome::Stopped || made.size() == job.audiences.count(),
           "a completed job made another count of files");
    expect(leftBehind(folder, job.source) == made, "a job left other files behind");
}

}  // namespace
}  // namespace velmora::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::encodeOnce(data, size);
    return 0;
}
