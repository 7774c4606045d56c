// A job's own thread: it opens the job when the caller has not, starts the
// reader, the encoders and the other files' writers, writes the named file
// itself, and reports the end. A failure anywhere ends every stage.

#include "engine/job/encode_job.h"

#include "engine/output/destination_registry.h"

namespace velmora::encoder {

Engine::Job::~Job() {
    requestStop();
    join();
    for (auto& file : files_)
        if (file->ticket) DestinationRegistry::instance().release(file->ticket);
}

void Engine::Job::run(bool opened) {
    if (!opened) {
        JobInfo info;
        if (Status s = prepare(info); !s) {
            JobResult result;
            result.outcome = stopRequested_ ? JobOutcome::Stopped : JobOutcome::Failed;
            result.destination = settings_.destination;
            result.message = s.message();
            result.errorKind = s.kind();
            source_.format.reset();
            tell([&](JobObserver& o) { o.jobFinished(result); });
            markFinished();
            return;
        }
        tell([&](JobObserver& o) { o.jobStarted(info); });
    }
    runOpened();
    markFinished();
}

void Engine::Job::runOpened() {
    std::vector<std::thread> workers;
    workers.emplace_back([this] { guarded([this] { readSource(); }); });
    for (auto* lanes : {&videoLanes_, &audioLanes_})
        for (auto& lane : *lanes)
            workers.emplace_back([this, &lane = *lane] { guarded([&] { encode(lane); }); });
    for (std::size_t i = 1; i < files_.size(); ++i)
        workers.emplace_back([this, &file = *files_[i]] { guarded([&] { write(file); }); });
    guarded([this] { write(*files_.front()); });
    for (auto& t : workers) t.join();

    const JobResult result = conclude();
    // Release the source before telling anyone the job is over.
    source_.format.reset();
    tell([&](JobObserver& o) { o.jobFinished(result); });
}

void Engine::Job::markFinished() {
    std::lock_guard lock(finishedMutex_);
    finished_ = true;
    finishedChanged_.notify_all();
}

Status Engine::Job::naming(Status status, const File* file) const {
    if (status || !file || files_.size() < 2) return status;
    std::string named = file->name.destination;
    named += "：";
    named += status.message();
    return status.reworded(named);
}

void Engine::Job::fail(Status status) {
    {
        std::lock_guard lock(errorMutex_);
        if (failed_) return;
        error_ = std::move(status);
        failed_ = true;
    }
    abortQueues();
}

void Engine::Job::abortQueues() {
    for (auto* lanes : {&videoLanes_, &audioLanes_})
        for (auto& lane : *lanes)
            if (lane->frames) lane->frames->abort();
    for (auto& file : files_)
        if (file->packets) file->packets->abort();
}

}  // namespace velmora::encoder
