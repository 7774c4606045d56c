#pragma once
// The job behind Engine, for the engine's own files. Its work is spread by
// stage: job_setup.cpp opens the source, the encoders and the files;
// encode_job.cpp runs the threads; job_reading.cpp is the reader,
// job_encoding.cpp the encoders, job_writing.cpp the writers and the
// progress; job_summary.cpp finishes the files and tells what the job did.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/core/bounded_queue.h"
#include "engine/job/engine.h"
#include "engine/output/interleaver.h"
#include "engine/output/job_files.h"
#include "engine/output/preview.h"
#include "engine/output/temp_output.h"
#include "engine/source/media_source.h"
#include "engine/source/source_timeline.h"
#include "engine/stages/audio_stage.h"
#include "engine/stages/decoder_threads.h"
#include "engine/stages/video_stage.h"

namespace velmora::encoder {

// The refusal of a source's name that needs no file: none given. (A folder
// is refused where the source is opened, which a stalled mount cannot hold.)
Status checkSourceName(const std::string& source);

// What the plan needs to know of an opened source.
SourceFacts factsOf(const MediaSource& source);

class Engine::Job {
  public:
    Job(const JobSettings& settings, JobObserver& observer)
        : settings_(settings), observer_(&observer) {}
    ~Job();

    Status prepare(JobInfo& info);  // out of memory as a failure, as guarded()
    // `opened`: prepare() has run on the caller's thread; else the job's
    // thread runs it first. The thread keeps the job alive, so that one
    // let go can end on its own.
    void launch(std::shared_ptr<Job> self, bool opened) {
        thread_ = std::thread([self = std::move(self), opened] { self->run(opened); });
    }
    void requestStop() { stopRequested_ = true; }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    bool finished() const { return finished_; }
    bool waitFinished(std::chrono::milliseconds patience) {
        std::unique_lock lock(finishedMutex_);
        return finishedChanged_.wait_for(lock, patience, [this] { return finished_.load(); });
    }
    // The observer hears nothing more from this job once this returns.
    void letGo() {
        {
            std::lock_guard lock(observerMutex_);
            observer_ = nullptr;
        }
        thread_.detach();
    }

  private:
    using Clock = std::chrono::steady_clock;
    using FrameQueue = BoundedQueue<FramePtr>;
    using PacketInterleaver = Interleaver<PacketPtr>;

    struct File;
    // One encoder: its frame queue, and the files its packets go to (an
    // audio encoder serves every file whose sound is alike), each with the
    // encoder's slot in that file's interleaver.
    struct Lane {
        CodecContextPtr encoder;
        std::unique_ptr<FrameQueue> frames;
        std::unique_ptr<VideoScaler> scaler;  // video: frames arrive at the source's size
        const VideoPlan* video = nullptr;     // video: its file's plan
        std::vector<std::pair<File*, std::size_t>> feeds;
    };
    // One output file: its writer, its temporary file and its interleaver,
    // fed by its own video encoder and a shared audio encoder.
    struct File {
        JobFile name;
        EncodePlan plan;
        std::unique_ptr<MediaWriter> writer;
        TempOutput temp;
        std::uint64_t ticket = 0;  // the job's claim on the destination
        std::unique_ptr<PacketInterleaver> packets;
        Lane* bySlot[2] = {};
        int writerIndex[2] = {-1, -1};
        bool begun = false;
        // Its writer's thread only:
        std::int64_t packetsWritten = 0;
        std::int64_t encodedMs = 0;
        // Where a stop cut its picture short (microseconds): its sound,
        // which runs ahead by the look-ahead's window, ends there too.
        std::atomic<std::int64_t> pictureCutUs{std::numeric_limits<std::int64_t>::max()};
        // For the progress, read by the other writers:
        std::atomic<std::int64_t> encodedSoFar{0};
        std::atomic<std::int64_t> bytesSoFar{0};
    };
    class LaneEncoder;

    // Opening, on the caller's thread or the job's (job_setup.cpp).
    Status open(JobInfo& info);
    Status openSource();
    Status planFiles(JobInfo& info);
    Status openLanes();
    Status openVideoLanes();
    Status openAudioLanes();
    Status openFiles();
    Status openPreview();
    Status beginFiles();

    // The job's thread and the workers it starts.
    void run(bool opened);
    void runOpened();
    void readSource();
    Status readPackets(bool& reachedEnd);
    void closeGaps(AVPacket& packet);
    void chooseDecoderThreads();
    void encode(Lane& lane);
    void write(File& file);
    Status interleave(File& file);
    void reportProgress();

    // The end, after the workers (job_summary.cpp).
    JobResult conclude();
    void finishFiles(JobResult& result);
    void finishSummary(JobResult& result);
    void placeFiles(JobResult& result);
    bool claimNames(JobResult& result);
    void settleOutcome(JobResult& result);

    // Runs a worker's body: an allocation C++ cannot make (a queue's, a
    // buffer's) fails the job as one FFmpeg cannot, rather than the process.
    template <class Body>
    void guarded(Body body) {
        try {
            body();
        } catch (const std::bad_alloc&) {
            fail(Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory));
        }
    }

    // With several files, a failure that belongs to one starts with its name.
    Status naming(Status status, const File* file) const;
    void fail(Status status);
    void abortQueues();
    void markFinished();
    std::int64_t elapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - startTime_)
            .count();
    }
    // Calls the observer unless the job was let go.
    template <class Call>
    void tell(Call call) {
        std::lock_guard lock(observerMutex_);
        if (observer_) call(*observer_);
    }

    JobSettings settings_;
    std::mutex observerMutex_;
    JobObserver* observer_;      // null once let go
    SourceInterrupt interrupt_;  // the source's reads ask it, so it outlives source_
    MediaSource source_;
    std::vector<std::unique_ptr<File>> files_;  // slowest audience first
    std::unique_ptr<VideoConverter> videoIn_;
    std::unique_ptr<AudioConverter> audioIn_;
    std::vector<std::unique_ptr<Lane>> videoLanes_;   // one per file
    std::vector<std::unique_ptr<Lane>> audioLanes_;   // one per distinct sound
    std::vector<FrameSink> toVideo_, toAudio_;        // the lanes' queues, for the reader
    Lane* watchedLane_ = nullptr;                     // the one the preview decodes
    std::unique_ptr<PreviewDecoder> previewDecoder_;  // watched lane's thread only
    Clock::time_point startTime_;

    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> stoppedEarly_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> finished_{false};
    std::mutex finishedMutex_;
    std::condition_variable finishedChanged_;
    std::mutex errorMutex_;
    Status error_ = Status::ok();
    SourceTimeline timeline_;                 // reader only until the reader ends
    std::atomic<std::int64_t> gapMs_{0};      // closed so far, for the progress
    double readErrorAt_ = -1;                 // reader: where reading failed, seconds
    DecoderThreadsChoice decoderThreads_;     // reader only once the job runs
    double readerWaited_ = 0;                 // reader: seconds waiting on full queues
    std::int64_t videoPackets_ = 0;           // reader: sent to the decoder
    std::int64_t sourceBytes_ = 0;            // 0 when the size is unknown
    std::atomic<std::int64_t> readBytes_{0};  // how far the reader is into the source
    std::mutex progressMutex_;
    int percent_ = 0;  // under progressMutex_
};

}  // namespace velmora::encoder
