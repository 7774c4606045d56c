// The job's encoders, one thread a lane: frames from the lane's queue,
// through the key frame choice, the look-ahead (its first pass on a thread
// of its own ahead of the lane; or at a frame or two a second and on a
// still, the group quantiser) and the rate guard, into the encoder; its
// packets on to every file the lane feeds.

#include <algorithm>
#include <optional>

#include "engine/job/encode_job.h"
#include "engine/stages/first_pass.h"
#include "engine/stages/key_frames.h"
#include "engine/stages/lookahead.h"
#include "engine/stages/rate_guard.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace {

// Frames of the group waiting when the job is stopped that go into the file,
// chosen and coded anew as a group of their own: a still's group at the fast
// lines holds up to ten seconds of detailed frames, whose trials and coding
// take longer than anyone waits for a stop.
constexpr std::size_t kFramesCodedAfterAStop = 8;
// Frames the first pass may measure ahead of the coding: enough that the
// lane seldom waits for one, while both have a core.
constexpr std::size_t kMeasuredAhead = 8;

}  // namespace

class Engine::Job::LaneEncoder {
  public:
    LaneEncoder(Job& job, Lane& lane)
        : job_(job),
          lane_(lane),
          encoder_(lane.encoder.get()),
          watched_(&lane == job.watchedLane_ && job.previewDecoder_) {}

    Status run();

  private:
    Status open();
    Status runAhead();
    Status scale(FramePtr& frame);
    bool admit(AVFrame& frame);
    bool guardLets(std::int64_t slot, bool key, bool still);
    Status hold(MeasuredFrame measured);
    Status codeHeld();
    Status drainHeld();
    void cutAfter(std::int64_t slot);
    void addToGroup(FramePtr frame);
    Status codeGroup();
    Status code(AVFrame* frame);
    Status endTail();
    Status pass(PacketPtr packet);
    void setIdle(bool idle);

    Job& job_;
    Lane& lane_;
    AVCodecContext* const encoder_;
    const bool watched_;
    Clock::time_point nextPicture_ = Clock::now();
    FramePtr pictureIn_;  // the source frame whose packet is on its way
    // The picture's last resort against a line it would overrun.
    std::optional<RateGuard> guard_;
    std::optional<KeyFrameChooser> keys_;
    bool keyDue_ = false;
    // Moving pictures wait in the look-ahead's window for their turn,
    // measured by its first pass...
    std::optional<Lookahead> lookahead_;
    FirstPassAhead ahead_;
    // ...and at a frame or two a second, or on a still, for the rest of their group.
    std::optional<GroupQuantiser> quantiser_;
    std::vector<FramePtr> group_;
    std::vector<bool> groupRepeats_;  // which of them show the frame before over again
    FramePtr groupReference_;         // the last frame coded before the group
    bool cut_ = false;                // a stop cut a group short; nothing more is coded
    bool tornDown_ = false;           // the interleaver took no more packets
    double bitsOut_ = 0;
    // The guard left out the frames at the end: the last picture coded shows
    // on through them, and the file has to last that long too.
    bool tailLeftOut_ = false;
    std::int64_t lastSlot_ = 0;
};

void Engine::Job::encode(Lane& lane) {
    if (Status s = LaneEncoder(*this, lane).run(); !s)
        fail(naming(std::move(s), lane.video ? lane.feeds.front().first : nullptr));
    for (auto& [file, slot] : lane.feeds) file->packets->close(slot);
}

Status Engine::Job::LaneEncoder::run() {
    if (Status s = open(); !s) return s;
    if (lookahead_) return runAhead();
    for (;;) {
        setIdle(true);
        std::optional<FramePtr> frame = lane_.frames->pop();
        setIdle(false);
        if (job_.failed_) return Status::ok();
        if (frame && cut_) continue;  // the file ends where the stop cut it
        if (frame && lane_.scaler) {
            if (Status s = scale(*frame); !s) return s;
            if (!admit(**frame)) continue;
        }
        if (quantiser_) {
            // A group ends before a key frame, at the end, and after as
            // many frames as a key frame interval on a still picture.
            if (!frame || (*frame)->pict_type == AV_PICTURE_TYPE_I ||
                group_.size() >= static_cast<std::size_t>(lane_.video->gop)) {
                if (Status s = codeGroup(); !s || tornDown_) return s;
            }
            if (frame) {
                addToGroup(std::move(*frame));
                continue;
            }
        }
        // No frame: the stream ended, so flush the encoder.
        if (Status s = code(frame ? frame->get() : nullptr); !s || tornDown_) return s;
        if (!frame) return endTail();
    }
}

Status Engine::Job::LaneEncoder::open() {
    const VideoPlan* video = lane_.video;
    if (!video) return Status::ok();
    guard_.emplace(video->ceilingRate, video->fps, video->allowanceBits, video->wholeBits);
    keys_.emplace(video->gop);
    if (!video->groupQuantiser) {
        lookahead_.emplace();
        if (Status s = lookahead_->open(*video); !s) return s;
        // The first pass's thread scales the frames and chooses their key
        // frames too (the chooser compares each picture with the one
        // before); this one only codes.
        return ahead_.start(
            *video, [this] { return lane_.frames->pop(); },
            [this](FramePtr& frame, bool& key, bool& still) {
                if (Status s = scale(frame); !s) return s;
                key = keys_->choose(*frame);
                still = keys_->still();
                return Status::ok();
            },
            kMeasuredAhead);
    }
    quantiser_.emplace();
    return quantiser_->open(*video);
}

// To the encoder's size; the frame arrives at the source's.
Status Engine::Job::LaneEncoder::scale(FramePtr& frame) {
    FramePtr scaled;
    if (Status s = lane_.scaler->scale(*frame, encoder_->width, encoder_->height, scaled); !s)
        return s;
    frame = std::move(scaled);
    return Status::ok();
}

// Whether the guard lets the frame be coded, and whether it is a key frame.
bool Engine::Job::LaneEncoder::admit(AVFrame& frame) {
    // A cut whose frame the guard leaves out makes the next frame in the key frame.
    keyDue_ = (keys_ && keys_->choose(frame)) || keyDue_;
    if (!guardLets(frame.pts, keyDue_, keys_ && keys_->still())) return false;
    if (keyDue_) frame.pict_type = AV_PICTURE_TYPE_I;
    keyDue_ = false;
    return true;
}

bool Engine::Job::LaneEncoder::guardLets(std::int64_t slot, bool key, bool still) {
    lastSlot_ = slot;
    tailLeftOut_ = guard_ && !guard_->admit(key, still);
    return !tailLeftOut_;
}

// Moving pictures: the frames as the first pass hands them over, into the
// window, coded in turn; at the end the window drains.
Status Engine::Job::LaneEncoder::runAhead() {
    for (;;) {
        setIdle(true);
        std::optional<MeasuredFrame> measured = ahead_.next();
        setIdle(false);
        if (job_.failed_) return Status::ok();
        if (!measured) {
            if (Status s = ahead_.failure(); !s) return s;
            if (Status s = drainHeld(); !s || tornDown_) return s;
            if (Status s = code(nullptr); !s || tornDown_) return s;
            return endTail();
        }
        if (cut_) continue;  // the file ends where the stop cut it
        if (Status s = hold(std::move(*measured)); !s || tornDown_) return s;
    }
}

// Into the look-ahead's window; the oldest frame goes on once it is full.
Status Engine::Job::LaneEncoder::hold(MeasuredFrame measured) {
    lookahead_->add(std::move(measured.frame), measured.still, measured.measure);
    while (lookahead_->held() > lookahead_->window()) {
        if (Status s = codeHeld(); !s || tornDown_) return s;
    }
    return Status::ok();
}

// The oldest frame held, past the guard (which sees the bits coded so far)
// at the quantiser the look-ahead chooses.
Status Engine::Job::LaneEncoder::codeHeld() {
    const bool key = lookahead_->frontIsKey() || keyDue_;
    if (!guardLets(lookahead_->frontSlot(), key, lookahead_->frontIsStill())) {
        keyDue_ = key;
        lookahead_->leaveOut();
        return Status::ok();
    }
    keyDue_ = false;
    FramePtr frame = lookahead_->take(key);
    const double before = bitsOut_;
    if (Status s = code(frame.get()); !s) return s;
    lookahead_->account(bitsOut_ - before);
    return Status::ok();
}

// The source's end: the frames held go on, their window closing. After a
// stop only the first few do, as with a group (a window at the fast lines
// holds seconds of frames); the file's picture ends there.
Status Engine::Job::LaneEncoder::drainHeld() {
    lookahead_->end();
    std::size_t afterStop = 0;
    while (lookahead_->held() > 0) {
        if (job_.stopRequested_ && ++afterStop > kFramesCodedAfterAStop) {
            cutAfter(lastSlot_);
            break;
        }
        if (Status s = codeHeld(); !s || tornDown_) return s;
    }
    return Status::ok();
}

// A stop ends the file's picture with the frame in `slot`: no tail after it,
// and no sound after it either (the sound is read and coded as far ahead as
// the frames waiting to be coded reach).
void Engine::Job::LaneEncoder::cutAfter(std::int64_t slot) {
    cut_ = true;
    tailLeftOut_ = false;
    const std::int64_t end = av_rescale_q(slot + 1, encoder_->time_base, {1, 1'000'000});
    for (auto& [file, fed] : lane_.feeds) file->pictureCutUs.store(end);
}

void Engine::Job::LaneEncoder::addToGroup(FramePtr frame) {
    const bool key = frame->pict_type == AV_PICTURE_TYPE_I;
    // Against the frame before it in the group, not one the guard left out.
    const bool next = !group_.empty() && group_.back()->pts + 1 == frame->pts;
    groupRepeats_.push_back(!key && next && keys_ && keys_->still());
    group_.push_back(std::move(frame));
}

// The group waiting, at the quantisers chosen for it as a whole. A stop
// cuts it short, before or while it is coded; the frames coded by then end
// the file's picture.
Status Engine::Job::LaneEncoder::codeGroup() {
    if (group_.empty()) return Status::ok();
    const std::atomic<bool>& stop = job_.stopRequested_;
    if (!stop) {
        if (Status s = quantiser_->choose(group_, groupRepeats_, groupReference_.get(), &stop); !s)
            return s;
    }
    if (stop) {
        const std::size_t kept = std::min(group_.size(), kFramesCodedAfterAStop);
        group_.resize(kept);
        cutAfter(group_.back()->pts);
        groupRepeats_.resize(std::min(groupRepeats_.size(), kept));
        if (Status s = quantiser_->choose(group_, groupRepeats_, groupReference_.get()); !s)
            return s;
    }
    const double before = bitsOut_;
    for (FramePtr& frame : group_) {
        if (Status s = code(frame.get()); !s || tornDown_) return s;
        if (stop && !cut_) {
            cutAfter(frame->pts);
            break;
        }
    }
    quantiser_->account(bitsOut_ - before);
    groupReference_ = std::move(group_.back());
    group_.clear();
    groupRepeats_.clear();
    return Status::ok();
}

// One frame into the encoder (none: the end, which flushes it) and
// whatever packets come out on to the interleaver.
Status Engine::Job::LaneEncoder::code(AVFrame* frame) {
    if (watched_ && frame && Clock::now() >= nextPicture_) {
        nextPicture_ = Clock::now() + std::chrono::milliseconds(JobPreview::kIntervalMs);
        pictureIn_ = copyPicture(*frame);
    }
    int ret = avcodec_send_frame(encoder_, frame);
    if (ret < 0) return ffmpegFailure(text::kEncodeFailed, ret, ErrorKind::Internal);
    for (;;) {
        PacketPtr packet = makePacket();
        if (!packet) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        ret = avcodec_receive_packet(encoder_, packet.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
        if (ret < 0) return ffmpegFailure(text::kEncodeFailed, ret, ErrorKind::Internal);
        bitsOut_ += packet->size * 8.0;
        if (guard_) guard_->account(*packet);
        if (watched_)
            job_.previewDecoder_->show(*packet, encoder_->time_base, pictureIn_,
                                       *job_.settings_.preview);
        if (Status s = pass(std::move(packet)); !s || tornDown_) return s;
    }
    return Status::ok();
}

// After the flush: when the guard left out the last frames, a packet
// without a picture in the last slot (see MediaWriter).
Status Engine::Job::LaneEncoder::endTail() {
    if (!tailLeftOut_) return Status::ok();
    PacketPtr end = makePacket();
    if (!end) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    end->pts = end->dts = lastSlot_;
    end->duration = 1;
    return pass(std::move(end));
}

// To every file the lane feeds: a reference each, the last takes the packet.
// A packet that cannot be copied fails the job: a file without it would be
// short, not complete. An interleaver torn down takes no more (tornDown_).
Status Engine::Job::LaneEncoder::pass(PacketPtr packet) {
    const std::int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    const std::int64_t us = av_rescale_q(time, encoder_->time_base, {1, 1'000'000});
    const auto bytes = static_cast<std::size_t>(packet->size);
    for (std::size_t i = 0; i < lane_.feeds.size(); ++i) {
        auto& [file, slot] = lane_.feeds[i];
        PacketPtr item = i + 1 < lane_.feeds.size() ? PacketPtr(av_packet_clone(packet.get()))
                                                    : std::move(packet);
        if (!item) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        if (!file->packets->push(slot, us, std::move(item), bytes)) {
            tornDown_ = true;
            break;
        }
    }
    return Status::ok();
}

// While waiting for frames, the lane holds none of its files' interleavers up.
void Engine::Job::LaneEncoder::setIdle(bool idle) {
    for (auto& [file, slot] : lane_.feeds) file->packets->idle(slot, idle);
}

}  // namespace velmora::encoder
