// The end of a job, after its workers: each file finished, what the source
// held against what it claimed, the files kept put in place (or removed),
// and the result the observer hears.

#include <algorithm>

#include "engine/job/encode_job.h"
#include "engine/output/destination_registry.h"
#include "texts/encoder_texts.h"
#include "texts/format.h"

namespace velmora::encoder {

namespace {

// More than half the source lost: what is left is not the recording the
// user chose, and keeping it would call a failure a success. Anything less
// is kept, as the ffmpeg CLI keeps it, and the summary says what was lost.
constexpr double kMostLost = 0.5;

// The source ended this much before its header said: worth telling.
bool endedEarly(std::int64_t declaredMs, std::int64_t actualMs) {
    if (declaredMs <= 0) return false;
    const std::int64_t missing = declaredMs - actualMs;
    return missing > 1000 || missing * 20 > declaredMs;
}

}  // namespace

JobResult Engine::Job::conclude() {
    JobResult result;
    finishFiles(result);
    finishSummary(result);
    placeFiles(result);
    settleOutcome(result);
    return result;
}

// Each file's writer finished, and what the file holds.
void Engine::Job::finishFiles(JobResult& result) {
    for (auto& file : files_) {
        JobResult::File out{file->name.audience, file->name.destination};
        Status finished = file->writer->finish();
        out.bytes = file->temp.size();
        out.encodedMs = file->encodedMs;
        out.prerollMs = file->writer->prerollMs();
        out.budgetKbps = file->plan.budgetKbps;
        if (file->plan.video) {
            out.width = file->plan.video->width;
            out.height = file->plan.video->height;
        }
        if (!failed_ && !finished) fail(naming(std::move(finished), file.get()));
        // A whole source that gave a file without media is no success.
        if (!failed_ && !stoppedEarly_ && out.encodedMs <= 0)
            fail(naming(Status::fail(ErrorKind::SourceDamaged, text::kNothingWritten), file.get()));
        result.files.push_back(out);
    }
}

// What the source held against what it claimed; whether it is too damaged
// to keep. After the workers have ended.
void Engine::Job::finishSummary(JobResult& result) {
    const double damaged = std::max(videoIn_ ? videoIn_->damagedSeconds() : 0.0,
                                    audioIn_ ? audioIn_->damagedSeconds() : 0.0);
    const double gaps = timeline_.closedSeconds();
    const double found = std::max(0.0, timeline_.frontier() - gaps);
    result.declaredMs = source_.declaredMs;
    // Seconds from the source's clock, which may say anything.
    result.sourceMs = clampedMs(found);
    result.damagedMs = clampedMs(damaged);
    result.gapMs = clampedMs(gaps);
    if (failed_ || stoppedEarly_) return;

    const std::int64_t decoded =
        (videoIn_ ? videoIn_->framesDecoded() : 0) + (audioIn_ ? audioIn_->framesDecoded() : 0);
    if (decoded == 0) {
        fail(Status::fail(ErrorKind::SourceDamaged, text::kSourceNothingDecoded));
        return;
    }
    if (damaged > kMostLost * std::max(found, damaged)) {
        fail(Status::fail(ErrorKind::SourceDamaged,
                          text::withReason(text::kSourceMostlyDamaged,
                                           text::format("%.1f / %.1f", damaged, found))));
        return;
    }
    std::vector<std::string> notes;
    if (source_.declaredFps > 0)
        notes.push_back(text::format(text::kWarnRate, source_.declaredFps, source_.trustedFps));
    if (gaps > 0) notes.push_back(text::format(text::kWarnGaps, gaps));
    // The header's claim, less what was closed up, against what was there.
    const std::int64_t declared = source_.durationMs - result.gapMs;
    if (readErrorAt_ >= 0)
        notes.push_back(text::format(text::kWarnReadError, readErrorAt_));
    else if (endedEarly(declared, result.sourceMs))
        notes.push_back(text::format(text::kWarnEndedEarly, declared / 1000.0, found));
    if (damaged > 0) notes.push_back(text::format(text::kWarnDamaged, damaged));
    if (source_.videoLeftOut) notes.push_back(text::kWarnVideoLeftOut);
    if (source_.audioLeftOut) notes.push_back(text::kWarnAudioLeftOut);
    for (const std::string& note : notes) {
        if (!result.warning.empty()) result.warning += text::kWarnSeparator;
        result.warning += note;
    }
}

// The files worth keeping go over their destinations; the others, and any
// a later job has taken over, are removed.
void Engine::Job::placeFiles(JobResult& result) {
    // Stopped before anything was written: no file rather than an empty one.
    // Stopped before the source gave a frame, a file holds at most what an
    // encoder adds of itself (14.4 ends on a packet of silence): none is kept.
    const bool sourceGaveNothing =
        (videoIn_ ? videoIn_->framesDecoded() : 0) + (audioIn_ ? audioIn_->framesDecoded() : 0) ==
        0;
    const auto kept = [this, sourceGaveNothing](const File& file) {
        return !failed_ && !(stoppedEarly_ && (file.packetsWritten == 0 || sourceGaveNothing));
    };
    // A job that replaces nothing puts its files over names it claimed.
    const bool claimed =
        settings_.moveTo &&
        std::any_of(files_.begin(), files_.end(), [&](const auto& f) { return kept(*f); }) &&
        claimNames(result);
    for (std::size_t i = 0; i < files_.size(); ++i) {
        File& file = *files_[i];
        bool inPlace = false;
        if (kept(file)) {
            Status committed = Status::ok();
            bool latest = true;
            if (claimed) {
                committed = file.temp.commitAs(file.name.destination);
            } else {
                // A later job to the same destination has the say over it.
                // Only the named file was confirmed; the others replace
                // nothing but an earlier RealMedia file, found as they go.
                const Replacing what = i == 0 ? Replacing::AnyFile : Replacing::RealMedia;
                latest = DestinationRegistry::instance().commitIfLatest(
                    file.ticket, [&] { committed = file.temp.commit(what); });
                file.ticket = 0;
            }
            inPlace = latest && committed;
            if (!committed) fail(naming(std::move(committed), &file));
        }
        if (claimed && !inPlace) releaseClaim(file.name.destination);
        // Files already in place when a later one failed stay: they are whole.
        if (!inPlace) {
            file.temp.discard();
            result.files[i].bytes = 0;
        }
    }
}

// For a job that replaces nothing: the first set of names it can claim
// whole, from the destination on, become its files' names. False after a
// failure, which it reports.
bool Engine::Job::claimNames(JobResult& result) {
    constexpr int kMostMoves = 10'000;
    for (int n = 0; n < kMostMoves; ++n) {
        const std::vector<JobFile> names =
            jobFiles(n == 0 ? settings_.destination : settings_.moveTo(n), settings_.audiences);
        if (names.size() != files_.size()) break;
        bool taken = false;
        if (Status s = claimJobFiles(names, taken); !s) {
            fail(std::move(s));
            return false;
        }
        if (taken) continue;
        for (std::size_t i = 0; i < files_.size(); ++i) {
            File& file = *files_[i];
            DestinationRegistry::instance().release(file.ticket);
            file.ticket = 0;
            file.name.destination = names[i].destination;
            result.files[i].destination = names[i].destination;
        }
        return true;
    }
    fail(Status::fail(ErrorKind::DestinationRefused,
                      text::withSubject(text::kNoFreeName, folderOf(settings_.destination))));
    return false;
}

// The job's figures are its named file's; then how it ended.
void Engine::Job::settleOutcome(JobResult& result) {
    const JobResult::File& named = result.files.front();
    result.destination = named.destination;
    result.bytes = named.bytes;
    result.encodedMs = named.encodedMs;
    result.prerollMs = named.prerollMs;
    {
        std::lock_guard lock(progressMutex_);
        result.percent = percent_;
    }
    if (failed_) {
        result.outcome = JobOutcome::Failed;
        std::lock_guard lock(errorMutex_);
        result.message = error_.message();
        result.errorKind = error_.kind();
    } else if (stoppedEarly_) {
        result.outcome = JobOutcome::Stopped;
    } else {
        result.outcome = JobOutcome::Completed;
        result.percent = 100;
    }
    result.elapsedMs = elapsedMs();
}

}  // namespace velmora::encoder
