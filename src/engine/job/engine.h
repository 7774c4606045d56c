#pragma once
// The encoding engine: one job at a time, from a source file to a RealMedia
// file, on threads of its own. No Qt here; the component and the command-line
// tool both drive it.
//
// A job makes one file per ticked audience from one reading of the source.
// Threads of a job: a reader (demux, decode, resample, constant frame rate
// for each file), a video encoder per file (it scales first), an audio
// encoder per distinct sound (files whose sound is alike share its packets),
// and a writer per file that interleaves its packets. Frames and packets
// pass through bounded queues.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/media_writer.h"
#include "engine/core/status.h"
#include "engine/output/job_files.h"
#include "engine/output/preview.h"
#include "engine/plan/encode_plan.h"

namespace velmora::encoder {

using WriterFactory = std::unique_ptr<MediaWriter> (*)();

enum class Muxer { Ffmpeg, Own };
WriterFactory writerFactory(Muxer muxer);

struct JobSettings {
    std::string source;       // UTF-8 path
    std::string destination;  // UTF-8 path: the slowest audience's file (see jobFiles)
    AudienceSet audiences;
    std::int32_t audioContent = VoiceAndMusic;
    std::int32_t videoQuality = NormalMotion;
    WriterFactory makeWriter = writerFactory(Muxer::Own);
    // The files' title, author, copyright and comment: a field set here
    // wins, the others come from the source's own (fileTags()).
    MediaMetadata metadata;
    // Filled while the job runs when set; costs decoding the output's video.
    // The picture is the fastest audience's.
    std::shared_ptr<JobPreview> preview;
    // Asked while start() opens the source (which can wait on a pipe or a
    // device that sends nothing), and later from the reader's thread: true
    // gives up as stop() does. For a caller that cannot call stop() then,
    // e.g. one whose only thread is inside start().
    std::function<bool()> interrupted;
    // Unset: the files replace whatever is at their names (the user chose
    // the name and confirmed it). Set: they never replace anything. At the
    // end the job claims every name of its set at once, each created
    // exclusively; when one is taken by then, the whole set moves to
    // jobFiles(moveTo(1)), then moveTo(2), ... The result names where the
    // files went.
    std::function<std::string(int)> moveTo;
};

// What a started job will do, or what planJob() says a job would do.
struct JobInfo {
    std::string source;
    std::string destination;      // files[0]'s, the name the user gave
    std::int64_t durationMs = 0;  // 0 when the source does not say
    SourceShape shape;            // what the plans were made for
    // The source is a single picture without sound (a photo, a one-frame
    // clip): the files show it for kStillPictureSeconds.
    bool stillPicture = false;
    EncodePlan plan;  // files[0]'s
    // One per file, as jobFiles() orders them; each plan is what a job for
    // that audience alone would make.
    struct File {
        Audience audience = Audience::Dsl256K;
        std::string destination;
        EncodePlan plan;
        std::int64_t largestBytes = 0;  // as below, for this file alone
    };
    std::vector<File> files;
    // What the files may come to in all (their budgets over the length they
    // play, with the container's overhead; 0 when the length is unknown)
    // against the destination folder's free space (-1 when unknown). The
    // job goes on when it is short; a full disk fails it as any write error.
    std::int64_t largestBytes = 0;
    std::int64_t freeBytes = -1;
    bool spaceShort() const { return freeBytes >= 0 && largestBytes > freeBytes; }
};

struct JobProgress {
    std::int64_t encodedMs = 0;  // the file furthest behind
    std::int64_t durationMs = 0;
    int percent = 0;
    std::int64_t bytes = 0;      // the slowest audience's file so far
    std::int64_t elapsedMs = 0;  // wall clock since the start
    int budgetKbps = 0;          // the slowest audience's
    int files = 1;
};

enum class JobOutcome { Completed, Stopped, Failed };

struct JobResult {
    JobOutcome outcome = JobOutcome::Failed;
    // The file the user named (the slowest audience's); the whole set is in files.
    std::string destination;
    std::string message;  // for Failed: what went wrong, in Chinese (naming the file when there are
                          // several)
    ErrorKind errorKind = ErrorKind::None;  // for Failed: what kind of failure
    int percent = 0;
    std::int64_t bytes = 0;      // 0 when nothing was kept
    std::int64_t encodedMs = 0;  // how long the written file plays
    std::int64_t prerollMs = 0;  // the buffering a player needs first, as the file states it
    std::int64_t elapsedMs = 0;
    // Every file of the job as jobFiles() orders them (files[0] is the one
    // above); empty when the job failed before its files were known.
    struct File {
        Audience audience = Audience::Dsl256K;
        std::string destination;
        std::int64_t bytes = 0;  // 0 when nothing was kept
        std::int64_t encodedMs = 0, prerollMs = 0;
        int budgetKbps = 0;
        int width = 0, height = 0;  // 0 without a picture
    };
    std::vector<File> files;
    // What the source turned out to hold, for a summary that tells the truth.
    std::int64_t declaredMs = 0;  // the length its header claims; 0 when it claims none
    std::int64_t sourceMs = 0;    // the media actually found, gaps closed up
    std::int64_t damagedMs = 0;   // source time that did not decode and was skipped
    std::int64_t gapMs = 0;       // stretches with no data in any stream, left out
    // Chinese, one sentence per matter, empty when there is nothing to say
    // (the source ended early, damage skipped, gaps, an unbelievable rate).
    std::string warning;
};

// What a job learns of its source before it plans its files.
struct SourceFacts {
    SourceShape shape;
    std::int64_t durationMs = 0;  // 0 when the source does not say
    bool stillPicture = false;    // see JobInfo
};

// Opens and looks at the source as a job does, and closes it again: a pipe
// or a device is read (and used up) as the job would read it, unless
// `notAFile` is given: then such a source is only looked up, and
// `*notAFile` says so. Nothing is written. `settings.interrupted` ends a
// slow opening, as for a job, and gives up a read the kernel holds.
Status readJobSource(const JobSettings& settings, SourceFacts& facts, bool* notAFile = nullptr);

// Keeps FFmpeg's own messages (a codec's rate-control chatter, a demuxer's
// warnings) off standard error for the rest of the process: a job's
// failures come back as its messages, and a program started from the
// desktop would fill the session's log with them.
void quietFfmpegMessages();

// What a job of `settings` makes of a source of `facts`, planned as the job
// plans it: all of `info` but freeBytes. Reads no file; the destination
// need not exist.
Status planJob(const JobSettings& settings, const SourceFacts& facts, JobInfo& info);

class JobObserver {
  public:
    virtual ~JobObserver() = default;
    // Before any other call of the job: on the caller's thread inside
    // start(), on the job's thread for a job begun with launch().
    virtual void jobStarted(const JobInfo& info) { (void)info; }
    // The rest are called on the job's threads, never on the caller's.
    // Only when the whole percentage changes.
    virtual void jobProgress(const JobProgress& progress) = 0;
    // Last call of a job; the file is in place (or gone) by then.
    virtual void jobFinished(const JobResult& result) = 0;
};

class Engine {
  public:
    Engine();
    ~Engine();  // stops a running job as stop() does
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Ends a running job first (as stop()). Then checks the settings, opens
    // the source and the codecs and creates the temporary output; any
    // refusal comes back here and leaves nothing behind. On success the job
    // runs on its own threads and this returns at once.
    Status start(const JobSettings& settings, JobObserver& observer, JobInfo* info = nullptr);

    // As start(), for a caller that must not wait on the source: only the
    // checks that touch no file (a source and a destination named, an
    // audience chosen) come back here. The source and the codecs are opened
    // on the job's thread, where a pipe that sends nothing or a stalled
    // mount holds up no one and a stop still ends the wait. What start()
    // would refuse then arrives as jobFinished() with outcome Failed and
    // the same message (Stopped when a stop ended the opening), leaving
    // nothing behind.
    Status launch(const JobSettings& settings, JobObserver& observer);

    // Ends the running job promptly, completing a shorter but valid file,
    // and waits for its threads. Nothing happens when no job runs.
    void stop();

    // As stop(), waiting at most `patience`. A job still running then is
    // held in a read the kernel does not cut short (a stalled network
    // mount): it is let go and returns false. It calls its observer no
    // more, ends on its own once the read returns and completes its
    // shorter file, unless a later job of this process writes to the same
    // destination: then its temporary file is removed instead. `sooner`,
    // when given, is asked every tenth of a second and ends the wait as the
    // patience running out would.
    bool stopWithin(std::chrono::milliseconds patience,
                    const std::function<bool()>& sooner = nullptr);

    // Waits until the running job ends by itself.
    void wait();

    bool running() const;

  private:
    class Job;
    std::shared_ptr<Job> job_;  // shared with its thread, which a job let go keeps
};

}  // namespace velmora::encoder
