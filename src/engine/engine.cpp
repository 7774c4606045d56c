#include "engine/engine.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/audio_stage.h"
#include "engine/bounded_queue.h"
#include "engine/interleaver.h"
#include "engine/job_files.h"
#include "engine/key_frames.h"
#include "engine/media_source.h"
#include "engine/preview.h"
#include "engine/rate_guard.h"
#include "engine/source_timeline.h"
#include "engine/stage_costs.h"
#include "engine/temp_output.h"
#include "engine/video_stage.h"
#include "texts/encoder_texts.h"

extern "C" {
#include <libavutil/cpu.h>
}

namespace velmora::encoder {

WriterFactory writerFactory(Muxer muxer) {
    return muxer == Muxer::Ffmpeg ? &makeFfmpegRmWriter : &makeRealMediaWriter;
}

namespace {

// Pixels a second the video encoder codes.
double pictureRate(const VideoPlan& video) {
    return static_cast<double>(video.width) * video.height * video.fps;
}

using Clock = std::chrono::steady_clock;
using FrameQueue = BoundedQueue<FramePtr>;
using PacketInterleaver = Interleaver<PacketPtr>;

// Enough to keep an encoder busy while the reader decodes the next packet;
// small enough that a stop is quick.
constexpr std::size_t kVideoQueueFrames = 8;
constexpr std::size_t kAudioQueueFrames = 64;
// Encoded packets waiting per stream for the other stream to catch up.
constexpr std::size_t kPacketsPerStream = 32;
// What those may weigh in all when one stream's packets must wait for a
// stream stored far away in the source (seconds of video at the largest
// audience are a few hundred KB).
constexpr std::size_t kWaitingPacketBytes = 16 << 20;

std::int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

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

std::string formatted(const char* format, double a, double b = 0) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, a, b);
    return buf;
}

// The refusals that need no file: the caller hears them at once.
Status checkNames(const JobSettings& settings) {
    if (settings.source.empty()) return Status::fail(ErrorKind::BadRequest, text::kNoSource);
    if (settings.destination.empty())
        return Status::fail(ErrorKind::BadRequest, text::kNoDestination);
    if (settings.audiences.none()) return Status::fail(ErrorKind::BadRequest, text::kNoAudience);
    if (!settings.makeWriter) return Status::fail(ErrorKind::Internal, text::kEncodeFailed);
    return Status::ok();
}

// A source of one picture and no sound: an image, or a clip of one frame.
bool singlePicture(const MediaSource& source) {
    if (source.videoIndex < 0 || source.audioIndex >= 0 || !source.format) return false;
    const std::string_view demuxer = source.format->iformat->name;
    // An image file's demuxers; an animated GIF and a stream of images hold more.
    if (demuxer == "image2" ||
        (demuxer.ends_with("_pipe") && demuxer != "gif_pipe" && demuxer != "image2pipe"))
        return true;
    if (source.format->streams[source.videoIndex]->nb_frames == 1) return true;
    // A clip that lasts a frame.
    return source.declaredMs > 0 && source.shape.frameRate > 0 &&
           source.declaredMs * source.shape.frameRate < 1500;
}

SourceFacts factsOf(const MediaSource& source) {
    return {source.shape, source.durationMs, singlePicture(source)};
}

// The destinations this process's jobs write to, each with the job that
// claimed it last. A job let go by stopWithin() may end after a later job
// to the same file has begun, and must never put its file over that one's.
class Destinations {
  public:
    // Never destroyed: a job let go may still end while the process exits.
    static Destinations& all() {
        static auto* destinations = new Destinations;
        return *destinations;
    }

    std::uint64_t claim(const std::string& destination) {
        std::lock_guard lock(mutex_);
        return latest_[destination] = ++claims_;
    }

    // Runs `commit` only while `ticket` is the destination's latest claim,
    // so no later claim can slip in between; the claim ends either way.
    template <class Commit>
    bool commitIfLatest(const std::string& destination, std::uint64_t ticket, Commit commit) {
        std::lock_guard lock(mutex_);
        const auto it = latest_.find(destination);
        if (it == latest_.end() || it->second != ticket) return false;
        latest_.erase(it);
        commit();
        return true;
    }

    void release(const std::string& destination, std::uint64_t ticket) {
        std::lock_guard lock(mutex_);
        const auto it = latest_.find(destination);
        if (it != latest_.end() && it->second == ticket) latest_.erase(it);
    }

  private:
    std::mutex mutex_;
    std::map<std::string, std::uint64_t> latest_;
    std::uint64_t claims_ = 0;
};

}  // namespace

class Engine::Job {
  public:
    Job(const JobSettings& settings, JobObserver& observer)
        : settings_(settings), observer_(&observer) {}

    ~Job() {
        requestStop();
        join();
        for (auto& file : files_)
            if (file->ticket) Destinations::all().release(file->name.destination, file->ticket);
    }

    Status prepare(JobInfo& info);
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
        // For the progress, read by the other writers:
        std::atomic<std::int64_t> encodedSoFar{0};
        std::atomic<std::int64_t> bytesSoFar{0};
    };

    void run(bool opened);
    void runOpened();
    Status openFiles();
    void readSource();
    Status readPackets(bool& reachedEnd);
    void closeGaps(AVPacket& packet);
    void finishSummary(JobResult& result);
    bool claimNames(JobResult& result);
    void encode(Lane& lane);
    Status encodeFrames(Lane& lane);
    void write(File& file);
    Status interleave(File& file);
    void reportProgress();
    // With several files, a failure that belongs to one starts with its name.
    Status naming(Status status, const File* file) const;
    void fail(Status status);
    void abortQueues();
    void markFinished();
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
    std::int64_t sourceBytes_ = 0;            // 0 when the size is unknown
    std::atomic<std::int64_t> readBytes_{0};  // how far the reader is into the source
    std::mutex progressMutex_;
    int percent_ = 0;  // under progressMutex_
};

Status Engine::Job::prepare(JobInfo& info) {
    if (settings_.source.empty()) return Status::fail(ErrorKind::BadRequest, text::kNoSource);
    struct stat st {};
    if (::stat(settings_.source.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return Status::fail(ErrorKind::SourceUnreadable,
                            text::withSubject(text::kSourceNotFile, settings_.source));
    interrupt_.stop = &stopRequested_;
    interrupt_.caller = settings_.interrupted;
    // The stages are timed while the look reads the file, at the plan the
    // table gives the slowest audience without the look; the figures follow
    // the pictures' sizes and rates once the look has set them.
    StageCosts costs;
    EncodePlan timedPlan;
    const auto timeStages = [&](SourceShape shape) {
        if (settings_.audiences.none()) return;
        timedPlan =
            planEncode(settings_.audiences, settings_.audioContent, settings_.videoQuality, shape);
        costs = measureStageCosts(settings_.source, source_, timedPlan, &interrupt_);
    };
    if (Status s = openMediaSource(settings_.source, source_, &interrupt_, timeStages); !s)
        return s;
    const std::vector<JobFile> names = jobFiles(settings_.destination, settings_.audiences);
    if (names.empty()) return Status::fail(ErrorKind::BadRequest, text::kNoAudience);
    if (Status s = checkJobFiles(settings_.source, names); !s) return s;
    if (!settings_.makeWriter) return Status::fail(ErrorKind::Internal, text::kEncodeFailed);

    if (Status s = planJob(settings_, factsOf(source_), info); !s) return s;
    for (const JobInfo::File& planned : info.files) {
        auto file = std::make_unique<File>();
        file->name = {planned.audience, planned.destination};
        file->plan = planned.plan;
        files_.push_back(std::move(file));
    }

    AVFormatContext* format = source_.format.get();
    if (files_.front()->plan.video) {
        // The decoder's threads follow what all the pictures cost to code.
        double pictures = 0;
        std::vector<int> rates;
        for (auto& file : files_) {
            const VideoPlan& video = *file->plan.video;
            auto lane = std::make_unique<Lane>();
            if (Status s = openVideoEncoder(video, lane->encoder); !s) return naming(s, file.get());
            lane->frames = std::make_unique<FrameQueue>(kVideoQueueFrames);
            lane->scaler = std::make_unique<VideoScaler>(source_.orientation);
            lane->video = &video;
            lane->feeds.push_back({file.get(), 0});
            pictures += pictureRate(video);
            rates.push_back(video.fps);
            videoLanes_.push_back(std::move(lane));
        }
        if (timedPlan.video) costs.video *= pictures / pictureRate(*timedPlan.video);
        const int threads = videoDecoderThreads(av_cpu_count(), costs);
        videoIn_ = std::make_unique<VideoConverter>();
        if (Status s = videoIn_->open(*format->streams[source_.videoIndex], source_.videoTimeBase,
                                      std::move(rates), source_.startUs, threads, &stopRequested_);
            !s)
            return s;
    }
    if (files_.front()->plan.audio) {
        // Files whose sound is alike share one encoder and its packets.
        std::vector<const AVCodecContext*> encoders;
        std::vector<const AudioPlan*> sounds;
        for (auto& file : files_) {
            const AudioPlan& audio = *file->plan.audio;
            std::size_t i = 0;
            while (i < sounds.size() && !(*sounds[i] == audio)) ++i;
            if (i == sounds.size()) {
                auto lane = std::make_unique<Lane>();
                if (Status s = openAudioEncoder(audio, lane->encoder); !s) return s;
                lane->frames = std::make_unique<FrameQueue>(kAudioQueueFrames);
                encoders.push_back(lane->encoder.get());
                sounds.push_back(&audio);
                audioLanes_.push_back(std::move(lane));
            }
            audioLanes_[i]->feeds.push_back({file.get(), 0});
        }
        audioIn_ = std::make_unique<AudioConverter>();
        if (Status s =
                audioIn_->open(*format->streams[source_.audioIndex], encoders, source_.startUs);
            !s)
            return s;
    }
    for (auto* lanes : {&videoLanes_, &audioLanes_}) {
        std::vector<FrameSink>& sinks = lanes == &videoLanes_ ? toVideo_ : toAudio_;
        for (auto& lane : *lanes)
            sinks.push_back(
                [queue = lane->frames.get()](FramePtr f) { return queue->push(std::move(f)); });
    }
    if (Status s = openFiles(); !s) return s;
    if (settings_.preview && !videoLanes_.empty()) {
        // The fastest audience's picture: the one that shows the most.
        watchedLane_ = videoLanes_.back().get();
        previewDecoder_ = std::make_unique<PreviewDecoder>();
        if (Status s = previewDecoder_->open(*watchedLane_->encoder); !s) return s;
    }

    // Nothing is written until every destination is claimed and begun.
    for (auto& file : files_) {
        file->ticket = Destinations::all().claim(file->name.destination);
        Status s = file->temp.create(file->name.destination);
        if (s) {
            s = file->writer->begin(file->temp.path(), settings_.metadata);
            file->begun = true;
        }
        if (!s) {
            for (auto& f : files_) {
                if (f->begun) f->writer->finish();
                f->temp.discard();
            }
            return naming(s, file.get());
        }
    }

    timeline_.declare(source_.declaredMs / 1000.0);
    sourceBytes_ = format->pb ? std::max<std::int64_t>(avio_size(format->pb), 0) : 0;
    info.freeBytes = freeBytesBeside(settings_.destination);
    startTime_ = Clock::now();
    return Status::ok();
}

// Each file's writer, its streams (the rm muxer wants the video first) and
// the interleaver between its encoders and it.
Status Engine::Job::openFiles() {
    for (auto& file : files_) {
        file->writer = settings_.makeWriter();
        if (!file->writer) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        std::size_t streams = 0;
        for (auto* lanes : {&videoLanes_, &audioLanes_}) {
            for (auto& lane : *lanes) {
                for (auto& [fed, slot] : lane->feeds) {
                    if (fed != file.get()) continue;
                    CodecParametersPtr params = makeCodecParameters();
                    if (!params) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
                    if (avcodec_parameters_from_context(params.get(), lane->encoder.get()) < 0)
                        return Status::fail(ErrorKind::Internal, text::kEncodeFailed);
                    const AVRational tb = lane->encoder->time_base;
                    if (Status s = file->writer->addStream(*params, tb.num, tb.den,
                                                           file->writerIndex[streams]);
                        !s)
                        return naming(s, file.get());
                    file->bySlot[streams] = lane.get();
                    slot = streams++;
                }
            }
        }
        file->packets =
            std::make_unique<PacketInterleaver>(streams, kPacketsPerStream, kWaitingPacketBytes);
    }
    return Status::ok();
}

Status Engine::Job::naming(Status status, const File* file) const {
    if (status || !file || files_.size() < 2) return status;
    std::string named = file->name.destination;
    named += "：";
    named += status.message();
    return status.reworded(named);
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

void Engine::Job::markFinished() {
    std::lock_guard lock(finishedMutex_);
    finished_ = true;
    finishedChanged_.notify_all();
}

void Engine::Job::runOpened() {
    std::vector<std::thread> workers;
    workers.emplace_back(&Job::readSource, this);
    for (auto* lanes : {&videoLanes_, &audioLanes_})
        for (auto& lane : *lanes) workers.emplace_back(&Job::encode, this, std::ref(*lane));
    for (std::size_t i = 1; i < files_.size(); ++i)
        workers.emplace_back(&Job::write, this, std::ref(*files_[i]));
    write(*files_.front());
    for (auto& t : workers) t.join();

    JobResult result;
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
    finishSummary(result);
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
                latest = Destinations::all().commitIfLatest(
                    file.name.destination, file.ticket, [&] { committed = file.temp.commit(); });
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
    result.elapsedMs = msSince(startTime_);
    // Release the source before telling anyone the job is over.
    source_.format.reset();
    tell([&](JobObserver& o) { o.jobFinished(result); });
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
            Destinations::all().release(file.name.destination, file.ticket);
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

void Engine::Job::readSource() {
    bool reachedEnd = false;
    Status s = readPackets(reachedEnd);
    if (s && !failed_) {
        if (videoIn_) s = reachedEnd ? videoIn_->drain(toVideo_) : videoIn_->finish(toVideo_);
        if (s && audioIn_) s = reachedEnd ? audioIn_->drain(toAudio_) : audioIn_->finish(toAudio_);
    }
    if (!s) fail(std::move(s));
    // A stop during the drain cut the held picture short as well.
    stoppedEarly_ = !reachedEnd || stopRequested_;
    for (auto* lanes : {&videoLanes_, &audioLanes_})
        for (auto& lane : *lanes) lane->frames->close();
}

Status Engine::Job::readPackets(bool& reachedEnd) {
    PacketPtr packet = makePacket();
    if (!packet) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    while (!stopRequested_ && !failed_) {
        const int ret = av_read_frame(source_.format.get(), packet.get());
        if (source_.format->pb) readBytes_ = avio_tell(source_.format->pb);
        if (ret == AVERROR_EOF) {
            reachedEnd = true;
            break;
        }
        if (ret == AVERROR_EXIT) break;  // a stop, through the interrupt callback
        if (ret == AVERROR(EAGAIN)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (ret < 0) {
            // Past the first packet a read error ends the source where it
            // is, as in the ffmpeg CLI; the summary says where.
            if (!timeline_.started())
                return ffmpegFailure(text::kReadFailed, ret, ErrorKind::SourceUnreadable);
            readErrorAt_ = timeline_.frontier() - timeline_.closedSeconds();
            reachedEnd = true;
            break;
        }
        Status s = Status::ok();
        if (packet->stream_index == source_.videoIndex ||
            packet->stream_index == source_.audioIndex)
            closeGaps(*packet);
        if (videoIn_ && packet->stream_index == source_.videoIndex)
            s = videoIn_->sendPacket(*packet, toVideo_);
        else if (audioIn_ && packet->stream_index == source_.audioIndex)
            s = audioIn_->sendPacket(*packet, toAudio_);
        av_packet_unref(packet.get());
        if (!s) return s;
    }
    return Status::ok();
}

// Moves the packet's timestamps back by the gaps closed before it, so every
// stage after the reader sees one unbroken timeline.
void Engine::Job::closeGaps(AVPacket& packet) {
    const std::int64_t pts = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
    if (pts == AV_NOPTS_VALUE) return;
    const AVStream* stream = source_.format->streams[packet.stream_index];
    const AVRational tb =
        packet.stream_index == source_.videoIndex ? source_.videoTimeBase : stream->time_base;
    const double unit = av_q2d(tb);
    const double start = pts * unit - source_.startUs / 1e6;
    const double duration = std::min(std::max<std::int64_t>(packet.duration, 0) * unit,
                                     SourceTimeline::kLongestKeptGap);
    const double shift = timeline_.shiftFor(start, start + duration);
    gapMs_ = static_cast<std::int64_t>(timeline_.closedSeconds() * 1000);
    if (shift <= 0) return;
    const std::int64_t ticks = std::llround(shift / unit);
    if (packet.pts != AV_NOPTS_VALUE) packet.pts -= ticks;
    if (packet.dts != AV_NOPTS_VALUE) packet.dts -= ticks;
}

// What the source held against what it claimed; whether it is too damaged
// to keep. After the workers have ended.
void Engine::Job::finishSummary(JobResult& result) {
    const double damaged = std::max(videoIn_ ? videoIn_->damagedSeconds() : 0.0,
                                    audioIn_ ? audioIn_->damagedSeconds() : 0.0);
    const double gaps = timeline_.closedSeconds();
    const double found = std::max(0.0, timeline_.frontier() - gaps);
    result.declaredMs = source_.declaredMs;
    result.sourceMs = static_cast<std::int64_t>(found * 1000);
    result.damagedMs = static_cast<std::int64_t>(damaged * 1000);
    result.gapMs = static_cast<std::int64_t>(gaps * 1000);
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
                                           formatted("%.1f / %.1f", damaged, found))));
        return;
    }
    std::vector<std::string> notes;
    if (source_.declaredFps > 0)
        notes.push_back(formatted(text::kWarnRate, source_.declaredFps, source_.trustedFps));
    if (gaps > 0) notes.push_back(formatted(text::kWarnGaps, gaps));
    // The header's claim, less what was closed up, against what was there.
    const std::int64_t declared = source_.durationMs - result.gapMs;
    if (readErrorAt_ >= 0)
        notes.push_back(formatted(text::kWarnReadError, readErrorAt_));
    else if (endedEarly(declared, result.sourceMs))
        notes.push_back(formatted(text::kWarnEndedEarly, declared / 1000.0, found));
    if (damaged > 0) notes.push_back(formatted(text::kWarnDamaged, damaged));
    if (source_.videoLeftOut) notes.push_back(text::kWarnVideoLeftOut);
    if (source_.audioLeftOut) notes.push_back(text::kWarnAudioLeftOut);
    for (const std::string& note : notes) {
        if (!result.warning.empty()) result.warning += text::kWarnSeparator;
        result.warning += note;
    }
}

void Engine::Job::encode(Lane& lane) {
    if (Status s = encodeFrames(lane); !s)
        fail(naming(std::move(s), lane.video ? lane.feeds.front().first : nullptr));
    for (auto& [file, slot] : lane.feeds) file->packets->close(slot);
}

Status Engine::Job::encodeFrames(Lane& lane) {
    AVCodecContext* encoder = lane.encoder.get();
    const bool watched = &lane == watchedLane_ && previewDecoder_;
    Clock::time_point nextPicture = Clock::now();
    FramePtr pictureIn;  // the source frame whose packet is on its way
    // The picture's last resort against a line it would overrun.
    std::optional<RateGuard> guard;
    std::optional<KeyFrameChooser> keys;
    bool keyDue = false;
    // At a frame or two a second, frames wait for the rest of their group.
    std::optional<GroupQuantiser> quantiser;
    std::vector<FramePtr> group;
    std::vector<bool> groupRepeats;  // which of them show the frame before over again
    FramePtr groupReference;         // the last frame coded before the group
    if (const VideoPlan* video = lane.video) {
        guard.emplace(video->ceilingRate, video->fps, video->allowanceBits, video->wholeBits);
        keys.emplace(video->gop);
        if (video->groupQuantiser) {
            quantiser.emplace();
            if (Status s = quantiser->open(*video); !s) return s;
        }
    }
    // To every file the lane feeds: a reference each, the last takes the packet.
    const auto pass = [&](PacketPtr packet) {
        const std::int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
        const std::int64_t us = av_rescale_q(time, encoder->time_base, {1, 1'000'000});
        const auto bytes = static_cast<std::size_t>(packet->size);
        for (std::size_t i = 0; i < lane.feeds.size(); ++i) {
            auto& [file, slot] = lane.feeds[i];
            PacketPtr item = i + 1 < lane.feeds.size() ? PacketPtr(av_packet_clone(packet.get()))
                                                       : std::move(packet);
            if (!item || !file->packets->push(slot, us, std::move(item), bytes)) return false;
        }
        return true;
    };
    const auto idle = [&](bool idle) {
        for (auto& [file, slot] : lane.feeds) file->packets->idle(slot, idle);
    };
    bool tornDown = false;  // the interleaver took no more packets
    double bitsOut = 0;
    // The guard left out the frames at the end: the last picture coded shows
    // on through them, and the file has to last that long too.
    bool tailLeftOut = false;
    std::int64_t lastSlot = 0;
    // One frame into the encoder (none: the end, which flushes it) and
    // whatever packets come out on to the interleaver.
    const auto code = [&](AVFrame* frame) -> Status {
        if (watched && frame && Clock::now() >= nextPicture) {
            nextPicture = Clock::now() + std::chrono::milliseconds(JobPreview::kIntervalMs);
            pictureIn = copyPicture(*frame);
        }
        int ret = avcodec_send_frame(encoder, frame);
        if (ret < 0) return ffmpegFailure(text::kEncodeFailed, ret, ErrorKind::Internal);
        for (;;) {
            PacketPtr packet = makePacket();
            if (!packet) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
            ret = avcodec_receive_packet(encoder, packet.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
            if (ret < 0) return ffmpegFailure(text::kEncodeFailed, ret, ErrorKind::Internal);
            bitsOut += packet->size * 8.0;
            if (guard) guard->account(*packet);
            if (watched)
                previewDecoder_->show(*packet, encoder->time_base, pictureIn, *settings_.preview);
            if (!pass(std::move(packet))) {
                tornDown = true;
                break;
            }
        }
        return Status::ok();
    };
    const auto codeGroup = [&]() -> Status {
        if (group.empty()) return Status::ok();
        if (Status s = quantiser->choose(group, groupRepeats, groupReference.get()); !s) return s;
        const double before = bitsOut;
        for (FramePtr& frame : group) {
            if (Status s = code(frame.get()); !s || tornDown) return s;
        }
        quantiser->account(bitsOut - before);
        groupReference = std::move(group.back());
        group.clear();
        groupRepeats.clear();
        return Status::ok();
    };
    for (;;) {
        idle(true);
        std::optional<FramePtr> frame = lane.frames->pop();
        idle(false);
        if (failed_) return Status::ok();
        if (frame && lane.scaler) {
            FramePtr scaled;
            if (Status s = lane.scaler->scale(**frame, encoder->width, encoder->height, scaled); !s)
                return s;
            *frame = std::move(scaled);
            // A cut whose frame the guard leaves out makes the next frame in the key frame.
            keyDue = (keys && keys->choose(**frame)) || keyDue;
            lastSlot = (*frame)->pts;
            tailLeftOut = guard && !guard->admit(keyDue, keys && keys->still());
            if (tailLeftOut) continue;
            if (keyDue) (*frame)->pict_type = AV_PICTURE_TYPE_I;
            keyDue = false;
        }
        if (quantiser) {
            // A group ends before a key frame, at the end, and after as
            // many frames as a key frame interval on a still picture.
            if (!frame || (*frame)->pict_type == AV_PICTURE_TYPE_I ||
                group.size() >= static_cast<std::size_t>(lane.video->gop)) {
                if (Status s = codeGroup(); !s || tornDown) return s;
            }
            if (frame) {
                const bool key = (*frame)->pict_type == AV_PICTURE_TYPE_I;
                // Against the frame before it in the group, not one the guard left out.
                const bool next = !group.empty() && group.back()->pts + 1 == (*frame)->pts;
                groupRepeats.push_back(!key && next && keys && keys->still());
                group.push_back(std::move(*frame));
                continue;
            }
        }
        // No frame: the stream ended, so flush the encoder.
        if (Status s = code(frame ? frame->get() : nullptr); !s || tornDown) return s;
        if (!frame) {
            if (!tailLeftOut) return Status::ok();
            // A packet without a picture in the last slot (see MediaWriter).
            PacketPtr end = makePacket();
            if (!end) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
            end->pts = end->dts = lastSlot;
            end->duration = 1;
            pass(std::move(end));
            return Status::ok();
        }
    }
}

// One file's writer: its packets in time order, on this thread.
void Engine::Job::write(File& file) {
    if (Status s = interleave(file); !s) fail(naming(std::move(s), &file));
}

Status Engine::Job::interleave(File& file) {
    const bool named = &file == files_.front().get();
    for (;;) {
        auto item = file.packets->pop();
        if (failed_ || !item) return Status::ok();
        const std::size_t slot = item->first;
        Lane* lane = file.bySlot[slot];
        PacketPtr& packet = item->second;
        if (Status s = file.writer->writePacket(file.writerIndex[slot], *packet); !s) return s;
        ++file.packetsWritten;

        const AVPacket& p = *packet;
        // A video packet is one tick of 1/fps even when the encoder leaves its duration out.
        const std::int64_t ticks = p.duration > 0 ? p.duration : lane->video ? 1 : 0;
        const std::int64_t end = av_rescale_q(p.pts + ticks, lane->encoder->time_base, {1, 1000});
        file.encodedMs = std::max(file.encodedMs, end);
        file.encodedSoFar.store(file.encodedMs, std::memory_order_relaxed);
        file.bytesSoFar.store(file.writer->bytesWritten(), std::memory_order_relaxed);
        // The pane's running rate is the named file's, against its budget.
        if (JobPreview* preview = settings_.preview.get(); preview && named) {
            preview->encodedMs.store(file.encodedMs, std::memory_order_relaxed);
            preview->bytes.store(file.writer->bytesWritten(), std::memory_order_relaxed);
        }
        reportProgress();
    }
}

// One percentage for the job: how far the file furthest behind has come.
void Engine::Job::reportProgress() {
    std::int64_t encoded = -1;
    for (auto& file : files_) {
        const std::int64_t ms = file->encodedSoFar.load(std::memory_order_relaxed);
        if (encoded < 0 || ms < encoded) encoded = ms;
    }
    const std::int64_t duration =
        source_.durationMs > 0 ? std::max<std::int64_t>(source_.durationMs - gapMs_, 1) : 0;
    // Without a known length, how far the reader is into the file will do.
    const std::int64_t done = duration > 0 ? encoded : readBytes_.load();
    const std::int64_t whole = duration > 0 ? duration : sourceBytes_;
    const int percent =
        whole > 0 ? static_cast<int>(std::clamp<std::int64_t>(done * 100 / whole, 0, 99)) : 0;
    std::lock_guard lock(progressMutex_);
    if (percent <= percent_) return;  // another writer got there first
    percent_ = percent;
    const File& named = *files_.front();
    const JobProgress progress{encoded,
                               duration,
                               percent,
                               named.bytesSoFar.load(std::memory_order_relaxed),
                               msSince(startTime_),
                               named.plan.budgetKbps,
                               static_cast<int>(files_.size())};
    tell([&](JobObserver& o) { o.jobProgress(progress); });
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

Status readJobSource(const JobSettings& settings, SourceFacts& facts) {
    if (settings.source.empty()) return Status::fail(ErrorKind::BadRequest, text::kNoSource);
    struct stat st {};
    if (::stat(settings.source.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return Status::fail(ErrorKind::SourceUnreadable,
                            text::withSubject(text::kSourceNotFile, settings.source));
    SourceInterrupt interrupt;
    interrupt.caller = settings.interrupted;
    MediaSource source;
    if (Status s = openMediaSource(settings.source, source, &interrupt); !s) return s;
    facts = factsOf(source);
    return Status::ok();
}

Status planJob(const JobSettings& settings, const SourceFacts& facts, JobInfo& info) {
    const std::vector<JobFile> names = jobFiles(settings.destination, settings.audiences);
    if (names.empty()) return Status::fail(ErrorKind::BadRequest, text::kNoAudience);
    info.source = settings.source;
    info.destination = settings.destination;
    info.durationMs = facts.durationMs;
    info.shape = facts.shape;
    info.stillPicture = facts.stillPicture;
    // Each file is planned as a job for its audience alone would be.
    const std::int64_t playsMs =
        facts.stillPicture
            ? std::max<std::int64_t>(facts.durationMs, std::lround(kStillPictureSeconds * 1000))
            : facts.durationMs;
    info.files.clear();
    for (const JobFile& name : names) {
        const EncodePlan plan = planEncode(audienceSet({name.audience}), settings.audioContent,
                                           settings.videoQuality, facts.shape);
        if (!plan.video && !plan.audio)
            return Status::fail(ErrorKind::BadRequest, text::kNothingToEncode);
        info.files.push_back(
            {name.audience, name.destination, plan, largestFileBytes(plan, playsMs)});
    }
    info.plan = info.files.front().plan;
    info.largestBytes = largestBytes(info.files, playsMs);
    return Status::ok();
}

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

bool Engine::stopWithin(std::chrono::milliseconds patience) {
    if (!job_) return true;
    job_->requestStop();
    const bool ended = job_->waitFinished(patience);
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

}  // namespace velmora::encoder
