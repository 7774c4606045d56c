// The engine's facade: one job at a time, started, stopped, waited for.

#include "engine/job/engine.h"

#include <algorithm>

#include "engine/job/encode_job.h"
#include "texts/encoder_texts.h"

extern "C" {
#include <libavutil/log.h>
}

namespace velmora::encoder {

WriterFactory writerFactory(Muxer muxer) {
    return muxer == Muxer::Ffmpeg ? &makeFfmpegRmWriter : &makeRealMediaWriter;
}

namespace {

// The refusals that need no file: the caller hears them at once.
Status checkNames(const JobSettings& settings) {
    if (settings.source.empty()) return Status::fail(ErrorKind::BadRequest, text::kNoSource);
    if (settings.destination.empty())
        return Status::fail(ErrorKind::BadRequest, text::kNoDestination);
    if (settings.audiences.none()) return Status::fail(ErrorKind::BadRequest, text::kNoAudience);
    if (!settings.makeWriter) return Status::fail(ErrorKind::Internal, text::kEncodeFailed);
    return Status::ok();
}

}  // namespace

Engine::Engine() = default;

Engine::~Engine() {
    stop();
}

Status Engine::start(const JobSettings& settings, JobObserver& observer, JobInfo* info) {
    stop();
    auto job = std::make_shared<Job>(settings, observer);
    JobInfo scratch;
    if (Status s = job->prepare(info ? *info : scratch); !s) return s;
    observer.jobStarted(info ? *info : scratch);
    job_ = std::move(job);
    job_->launch(job_, true);
    return Status::ok();
}

Status Engine::launch(const JobSettings& settings, JobObserver& observer) {
    stop();
    if (Status s = checkNames(settings); !s) return s;
    job_ = std::make_shared<Job>(settings, observer);
    job_->launch(job_, false);
    return Status::ok();
}

void Engine::stop() {
    if (!job_) return;
    job_->requestStop();
    job_->join();
    job_.reset();
}

bool Engine::stopWithin(std::chrono::milliseconds patience, const std::function<bool()>& sooner) {
    if (!job_) return true;
    job_->requestStop();
    constexpr std::chrono::milliseconds kStep{100};
    const auto until = std::chrono::steady_clock::now() + patience;
    bool ended = job_->waitFinished(sooner ? std::min(patience, kStep) : patience);
    while (!ended && sooner && std::chrono::steady_clock::now() < until && !sooner())
        ended = job_->waitFinished(kStep);
    if (ended)
        job_->join();
    else
        job_->letGo();
    job_.reset();
    return ended;
}

void Engine::wait() {
    if (job_) job_->join();
}

bool Engine::running() const {
    return job_ && !job_->finished();
}

void quietFfmpegMessages() {
    av_log_set_level(AV_LOG_FATAL);
}

}  // namespace velmora::encoder
