#include "engine/engine.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/audio_stage.h"
#include "engine/bounded_queue.h"
#include "engine/interleaver.h"
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

std::int64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
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
    if (settings.source.empty()) return Status::fail(text::kNoSource);
    if (settings.destination.empty()) return Status::fail(text::kNoDestination);
    if (settings.audiences.none()) return Status::fail(text::kNoAudience);
    if (!settings.makeWriter) return Status::fail(text::kEncodeFailed);
    return Status::ok();
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
        if (ticket_) Destinations::all().release(settings_.destination, ticket_);
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
    // One output stream: the encoder, its frame queue and its place in the interleaver.
    struct Lane {
        CodecContextPtr encoder;
        int writerIndex = -1;
        std::size_t slot = 0;
        std::unique_ptr<FrameQueue> frames;
        std::unique_ptr<VideoScaler> scaler;  // video: frames arrive at the source's size
    };

    void run(bool opened);
    void runOpened();
    void readSource();
    Status readPackets(bool& reachedEnd);
    void closeGaps(AVPacket& packet);
    void finishSummary(JobResult& result);
    void encode(Lane& lane);
    Status encodeFrames(Lane& lane);
    Status interleave();
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
    std::uint64_t ticket_ = 0;   // the job's claim on its destination
    SourceInterrupt interrupt_;  // the source's reads ask it, so it outlives source_
    MediaSource source_;
    EncodePlan plan_;
    TempOutput temp_;
    std::unique_ptr<MediaWriter> writer_;
    std::unique_ptr<VideoConverter> videoIn_;
    std::unique_ptr<AudioConverter> audioIn_;
    Lane video_, audio_;
    std::unique_ptr<PacketInterleaver> packets_;
    std::unique_ptr<PreviewDecoder> previewDecoder_;  // video thread only
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
    std::int64_t packetsWritten_ = 0;         // job thread only
    std::int64_t sourceBytes_ = 0;            // 0 when the size is unknown
    std::atomic<std::int64_t> readBytes_{0};  // how far the reader is into the source
    std::int64_t encodedMs_ = 0;              // job thread only
    int percent_ = 0;                         // job thread only
};

Status Engine::Job::prepare(JobInfo& info) {
    if (settings_.source.empty()) return Status::fail(text::kNoSource);
    struct stat st {};
    if (::stat(settings_.source.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return Status::fail(text::withSubject(text::kSourceNotFile, settings_.source));
    interrupt_.stop = &stopRequested_;
    interrupt_.caller = settings_.interrupted;
    // The stages are timed while the look reads the file, at the plan the
    // table gives without the look; the figures follow the picture's
    // size and rate once the look has set them.
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
    if (Status s = checkDestination(settings_.source, settings_.destination); !s) return s;
    if (settings_.audiences.none()) return Status::fail(text::kNoAudience);
    if (!settings_.makeWriter) return Status::fail(text::kEncodeFailed);

    plan_ = planEncode(settings_.audiences, settings_.audioContent, settings_.videoQuality,
                       source_.shape);
    if (!plan_.video && !plan_.audio) return Status::fail(text::kNothingToEncode);

    writer_ = settings_.makeWriter();
    if (!writer_) return Status::fail(text::kOutOfMemory);
    AVFormatContext* format = source_.format.get();
    if (plan_.video) {
        if (Status s = openVideoEncoder(*plan_.video, video_.encoder); !s) return s;
        videoIn_ = std::make_unique<VideoConverter>();
        if (timedPlan.video)
            costs.video *= pictureRate(*plan_.video) / pictureRate(*timedPlan.video);
        const int threads = videoDecoderThreads(av_cpu_count(), costs);
        if (Status s = videoIn_->open(*format->streams[source_.videoIndex], source_.videoTimeBase,
                                      *plan_.video, source_.startUs, threads, &stopRequested_);
            !s)
            return s;
        video_.frames = std::make_unique<FrameQueue>(kVideoQueueFrames);
        video_.scaler = std::make_unique<VideoScaler>();
    }
    if (plan_.audio) {
        if (Status s = openAudioEncoder(*plan_.audio, audio_.encoder); !s) return s;
        audioIn_ = std::make_unique<AudioConverter>();
        if (Status s = audioIn_->open(*format->streams[source_.audioIndex], *audio_.encoder,
                                      source_.startUs);
            !s)
            return s;
        audio_.frames = std::make_unique<FrameQueue>(kAudioQueueFrames);
    }
    // The rm muxer wants the video stream first.
    std::size_t streams = 0;
    for (Lane* lane : {&video_, &audio_}) {
        if (!lane->encoder) continue;
        CodecParametersPtr params = makeCodecParameters();
        if (!params) return Status::fail(text::kOutOfMemory);
        const int ret = avcodec_parameters_from_context(params.get(), lane->encoder.get());
        if (ret < 0) return Status::fail(text::kEncodeFailed);
        const AVRational tb = lane->encoder->time_base;
        if (Status s = writer_->addStream(*params, tb.num, tb.den, lane->writerIndex); !s) return s;
        lane->slot = streams++;
    }
    packets_ = std::make_unique<PacketInterleaver>(streams, kPacketsPerStream, kWaitingPacketBytes);
    if (settings_.preview && plan_.video) {
        previewDecoder_ = std::make_unique<PreviewDecoder>();
        if (Status s = previewDecoder_->open(*video_.encoder); !s) return s;
    }

    ticket_ = Destinations::all().claim(settings_.destination);
    if (Status s = temp_.create(settings_.destination); !s) return s;
    if (Status s = writer_->begin(temp_.path(), settings_.metadata); !s) {
        writer_->finish();
        temp_.discard();
        return s;
    }

    sourceBytes_ = format->pb ? std::max<std::int64_t>(avio_size(format->pb), 0) : 0;
    info.source = settings_.source;
    info.destination = settings_.destination;
    info.durationMs = source_.durationMs;
    info.plan = plan_;
    info.files = {{plan_.audience, settings_.destination, plan_}};
    startTime_ = Clock::now();
    return Status::ok();
}

void Engine::Job::run(bool opened) {
    if (!opened) {
        JobInfo info;
        if (Status s = prepare(info); !s) {
            JobResult result;
            result.outcome = stopRequested_ ? JobOutcome::Stopped : JobOutcome::Failed;
            result.destination = settings_.destination;
            result.message = s.message();
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
    for (Lane* lane : {&video_, &audio_})
        if (lane->encoder) workers.emplace_back(&Job::encode, this, std::ref(*lane));
    if (Status s = interleave(); !s) fail(std::move(s));
    for (auto& t : workers) t.join();

    JobResult result;
    result.destination = settings_.destination;
    result.encodedMs = encodedMs_;
    result.percent = percent_;
    Status finished = writer_->finish();
    result.bytes = fileSize(temp_.path());
    result.prerollMs = writer_->prerollMs();
    if (!failed_ && !finished) fail(std::move(finished));
    finishSummary(result);
    // Stopped before anything was written: no file rather than an empty one.
    bool keep = !(stoppedEarly_ && packetsWritten_ == 0);
    if (!failed_ && keep) {
        Status committed = Status::ok();
        // A later job to the same destination has the say over it.
        keep = Destinations::all().commitIfLatest(settings_.destination, ticket_,
                                                  [&] { committed = temp_.commit(); });
        if (!committed) fail(std::move(committed));
    }
    if (!keep) result.bytes = 0;
    if (failed_ || !keep) temp_.discard();
    if (failed_) {
        result.outcome = JobOutcome::Failed;
        std::lock_guard lock(errorMutex_);
        result.message = error_.message();
    } else if (stoppedEarly_) {
        result.outcome = JobOutcome::Stopped;
    } else {
        result.outcome = JobOutcome::Completed;
        result.percent = 100;
    }
    result.elapsedMs = msSince(startTime_);
    JobResult::File file{plan_.audience, result.destination, result.bytes, result.encodedMs,
                         result.prerollMs, plan_.budgetKbps};
    if (plan_.video) {
        file.width = plan_.video->width;
        file.height = plan_.video->height;
    }
    result.files = {file};
    // Release the source before telling anyone the job is over.
    source_.format.reset();
    tell([&](JobObserver& o) { o.jobFinished(result); });
}

void Engine::Job::readSource() {
    bool reachedEnd = false;
    Status s = readPackets(reachedEnd);
    if (s && !failed_) {
        const FrameSink toVideo = [this](FramePtr f) { return video_.frames->push(std::move(f)); };
        const FrameSink toAudio = [this](FramePtr f) { return audio_.frames->push(std::move(f)); };
        if (videoIn_) s = reachedEnd ? videoIn_->drain(toVideo) : videoIn_->finish(toVideo);
        if (s && audioIn_) s = reachedEnd ? audioIn_->drain(toAudio) : audioIn_->finish(toAudio);
    }
    if (!s) fail(std::move(s));
    // A stop during the drain cut the held picture short as well.
    stoppedEarly_ = !reachedEnd || stopRequested_;
    for (Lane* lane : {&video_, &audio_})
        if (lane->frames) lane->frames->close();
}

Status Engine::Job::readPackets(bool& reachedEnd) {
    PacketPtr packet = makePacket();
    if (!packet) return Status::fail(text::kOutOfMemory);
    const FrameSink toVideo = [this](FramePtr f) { return video_.frames->push(std::move(f)); };
    const FrameSink toAudio = [this](FramePtr f) { return audio_.frames->push(std::move(f)); };
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
            if (!timeline_.started()) return ffmpegFailure(text::kReadFailed, ret);
            readErrorAt_ = timeline_.frontier() - timeline_.closedSeconds();
            reachedEnd = true;
            break;
        }
        Status s = Status::ok();
        if (packet->stream_index == source_.videoIndex ||
            packet->stream_index == source_.audioIndex)
            closeGaps(*packet);
        if (videoIn_ && packet->stream_index == source_.videoIndex)
            s = videoIn_->sendPacket(*packet, toVideo);
        else if (audioIn_ && packet->stream_index == source_.audioIndex)
            s = audioIn_->sendPacket(*packet, toAudio);
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
        fail(Status::fail(text::kSourceNothingDecoded));
        return;
    }
    if (damaged > kMostLost * std::max(found, damaged)) {
        fail(Status::fail(text::withReason(text::kSourceMostlyDamaged,
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
    for (const std::string& note : notes) {
        if (!result.warning.empty()) result.warning += text::kWarnSeparator;
        result.warning += note;
    }
}

void Engine::Job::encode(Lane& lane) {
    if (Status s = encodeFrames(lane); !s) fail(std::move(s));
    packets_->close(lane.slot);
}

Status Engine::Job::encodeFrames(Lane& lane) {
    AVCodecContext* encoder = lane.encoder.get();
    const bool watched = &lane == &video_ && previewDecoder_;
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
    if (lane.scaler && plan_.video) {
        guard.emplace(plan_.video->ceilingRate, plan_.video->fps, plan_.video->allowanceBits,
                      plan_.video->wholeBits);
        keys.emplace(plan_.video->gop);
        if (plan_.video->groupQuantiser) {
            quantiser.emplace();
            if (Status s = quantiser->open(*plan_.video); !s) return s;
        }
    }
    const auto pass = [&](PacketPtr packet) {
        const std::int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
        const auto bytes = static_cast<std::size_t>(packet->size);
        return packets_->push(lane.slot, av_rescale_q(time, encoder->time_base, {1, 1'000'000}),
                              std::move(packet), bytes);
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
        if (ret < 0) return ffmpegFailure(text::kEncodeFailed, ret);
        for (;;) {
            PacketPtr packet = makePacket();
            if (!packet) return Status::fail(text::kOutOfMemory);
            ret = avcodec_receive_packet(encoder, packet.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
            if (ret < 0) return ffmpegFailure(text::kEncodeFailed, ret);
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
        packets_->idle(lane.slot, true);
        std::optional<FramePtr> frame = lane.frames->pop();
        packets_->idle(lane.slot, false);
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
                group.size() >= static_cast<std::size_t>(plan_.video->gop)) {
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
            if (!end) return Status::fail(text::kOutOfMemory);
            end->pts = end->dts = lastSlot;
            end->duration = 1;
            pass(std::move(end));
            return Status::ok();
        }
    }
}

Status Engine::Job::interleave() {
    Lane* bySlot[2] = {};
    for (Lane* lane : {&video_, &audio_})
        if (lane->encoder) bySlot[lane->slot] = lane;

    for (;;) {
        auto item = packets_->pop();
        if (failed_ || !item) return Status::ok();
        Lane* next = bySlot[item->first];
        PacketPtr& packet = item->second;
        if (Status s = writer_->writePacket(next->writerIndex, *packet); !s) return s;
        ++packetsWritten_;

        const AVPacket& p = *packet;
        // A video packet is one tick of 1/fps even when the encoder leaves its duration out.
        const std::int64_t ticks = p.duration > 0 ? p.duration : next == &video_ ? 1 : 0;
        const std::int64_t end = av_rescale_q(p.pts + ticks, next->encoder->time_base, {1, 1000});
        encodedMs_ = std::max(encodedMs_, end);
        if (JobPreview* preview = settings_.preview.get()) {
            preview->encodedMs.store(encodedMs_, std::memory_order_relaxed);
            preview->bytes.store(writer_->bytesWritten(), std::memory_order_relaxed);
        }
        const std::int64_t duration =
            source_.durationMs > 0 ? std::max<std::int64_t>(source_.durationMs - gapMs_, 1) : 0;
        // Without a known length, how far the reader is into the file will do.
        const std::int64_t done = duration > 0 ? encodedMs_ : readBytes_.load();
        const std::int64_t whole = duration > 0 ? duration : sourceBytes_;
        const int percent =
            whole > 0 ? static_cast<int>(std::clamp<std::int64_t>(done * 100 / whole, 0, 99)) : 0;
        if (percent != percent_) {
            percent_ = percent;
            const JobProgress progress{
                encodedMs_,          duration,        percent, writer_->bytesWritten(),
                msSince(startTime_), plan_.budgetKbps};
            tell([&](JobObserver& o) { o.jobProgress(progress); });
        }
    }
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
    for (Lane* lane : {&video_, &audio_}) {
        if (lane->frames) lane->frames->abort();
    }
    if (packets_) packets_->abort();
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
