// The group quantiser: trial codings of a group of frames, on an encoder of
// its own, find the finest quantiser at which the group fits its share.
#include <algorithm>
#include <cmath>

#include "engine/video_stage.h"

namespace velmora::encoder {

Status GroupQuantiser::open(const VideoPlan& plan) {
    qmin_ = plan.qmin;
    perFrame_ = plan.fps > 0 ? static_cast<double>(plan.bitRate) / plan.fps : 0;
    carryLimit_ = std::max<double>(plan.bufferSize, perFrame_ * plan.gop);
    // A frame's bits at most when the plan names no buffer: the largest it would.
    frameLimit_ = plan.bufferSize > 0 ? plan.bufferSize : kMaxVideoBufferBits;
    return openVideoEncoder(plan, trial_);
}

Status GroupQuantiser::trialBits(const std::vector<FramePtr>& group,
                                 const std::vector<bool>& repeats, AVFrame* reference, int first,
                                 int quantiser, Trial& trial, const std::atomic<bool>* giveUp) {
    trial = {};
    double lastBits = 0;
    const auto code = [&](AVFrame& frame, bool key, int q, bool counted) -> Status {
        // The trial encoder counts its own time; the frame keeps its own.
        const std::int64_t pts = frame.pts;
        frame.pts = pts_++;
        PacketPtr packet;
        Status coded = codeTrialFrame(*trial_, frame, key, FF_QP2LAMBDA * q, packet);
        frame.pts = pts;
        if (!coded) return coded;
        if (counted) {
            lastBits = packet->size * 8.0;
            trial.bits += lastBits;
            trial.largest = std::max(trial.largest, lastBits);
        }
        return Status::ok();
    };
    // A group that goes on from the frame before it is predicted from that
    // frame as it was coded: the trial starts there, at that frame's own
    // quantiser, and its bits do not count.
    const bool fromKey = !reference || group.front()->pict_type == AV_PICTURE_TYPE_I;
    if (!fromKey) {
        const int before = std::clamp(reference->quality / FF_QP2LAMBDA, qmin_, kCoarsest);
        if (Status s = code(*reference, true, before, false); !s) return s;
    }
    int repeated = 0;  // repeats in a row so far
    for (std::size_t i = 0; i < group.size(); ++i) {
        if (giveUp && *giveUp) return Status::ok();
        const bool repeat = i > 0 && i < repeats.size() && repeats[i];
        repeated = repeat ? repeated + 1 : 0;
        if (repeated > kCodedRepeats) {
            trial.bits += lastBits;
            continue;
        }
        if (Status s = code(*group[i], i == 0 && fromKey, i == 0 ? first : quantiser, true); !s)
            return s;
    }
    return Status::ok();
}

Status GroupQuantiser::choose(std::vector<FramePtr>& group, const std::vector<bool>& repeats,
                              AVFrame* reference, const std::atomic<bool>* giveUp) {
    if (group.empty()) return Status::ok();
    target_ = perFrame_ * static_cast<double>(group.size()) + carry_;
    // A group fits when it keeps to its share and no frame outgrows the
    // rate control's buffer: the line's preroll, and the rm packets' limit.
    const auto fits = [&](const Trial& t) { return t.bits <= target_ && t.largest <= frameLimit_; };
    // The finest quantiser whose group fits. Bits fall as the quantiser
    // grows, about as its inverse, and a group mostly needs about what the
    // one before it did: from there, to where the trial's bits say the
    // group would just fit, until one side fits and the other does not,
    // then halve the range until it is one step wide. A steady picture costs
    // two trials, a slide show's new slide about three (with steps of 1, 2,
    // 4... from the last group's quantiser it took four or five).
    const auto trial = [&](int quantiser, Trial& t) {
        return trialBits(group, repeats, reference, quantiser, quantiser, t, giveUp);
    };
    const auto givenUp = [giveUp] { return giveUp && *giveUp; };
    // fine never fits and coarse always does; one step outside the range
    // stands for a side not tried yet.
    int fine = qmin_ - 1, coarse = kCoarsest + 1;
    Trial fineTrial, coarseTrial, t;
    int quantiser = last_ > 0 ? last_ : (qmin_ + kCoarsest) / 2;
    while (coarse - fine > 1) {
        if (Status s = trial(quantiser, t); !s || givenUp()) return s;
        if (fits(t)) {
            coarse = quantiser;
            coarseTrial = t;
        } else {
            fine = quantiser;
            fineTrial = t;
        }
        if (fine >= qmin_ && coarse <= kCoarsest) {
            quantiser = (fine + coarse) / 2;
            continue;
        }
        // One side still open: aim at the quantiser that would just fit,
        // at least one step on.
        const double over =
            std::max(target_ > 0 ? t.bits / target_ : double{kCoarsest}, t.largest / frameLimit_);
        const int aim = static_cast<int>(std::lround(quantiser * over));
        quantiser = fine < qmin_ ? std::clamp(aim, qmin_, coarse - 1)
                                 : std::clamp(aim, fine + 1, kCoarsest);
    }
    if (fine < qmin_) fine = coarse;        // everything fits at the finest
    if (coarse > kCoarsest) coarse = fine;  // nothing fits even at the coarsest
    // Between the two steps: the first frames, which the others are
    // predicted from, take the finer one, as many as the target leaves room
    // for, unless a frame at the finer step would outgrow the buffer.
    std::size_t finer = 0;
    if (fine < coarse && fineTrial.bits > coarseTrial.bits && fineTrial.largest <= frameLimit_) {
        const double share = std::clamp(
            (target_ - coarseTrial.bits) / (fineTrial.bits - coarseTrial.bits), 0.0, 1.0);
        finer = static_cast<std::size_t>(std::lround(share * static_cast<double>(group.size())));
    }
    // Only the first frame kept the finer steps out (a slide's key frame
    // past the buffer): it takes the coarser one, and the frames after it
    // refine the picture at the finest quantiser at which the group still
    // fits, so the group's share is spent.
    int rest = coarse;
    if (finer == 0 && fine < coarse && fineTrial.largest > frameLimit_ && group.size() > 1) {
        int tooFine = qmin_ - 1;  // rest fits at `rest`, not at `tooFine`
        while (rest - tooFine > 1) {
            const int quantiser = (rest + tooFine) / 2;
            if (Status s = trialBits(group, repeats, reference, coarse, quantiser, t, giveUp);
                !s || givenUp())
                return s;
            (fits(t) ? rest : tooFine) = quantiser;
        }
    }
    for (std::size_t i = 0; i < group.size(); ++i)
        group[i]->quality = FF_QP2LAMBDA * (i < finer ? fine : i > 0 ? rest : coarse);
    last_ = coarse;
    return Status::ok();
}

void GroupQuantiser::account(double bits) {
    carry_ = std::clamp(target_ - bits, -carryLimit_, carryLimit_);
}

}  // namespace velmora::encoder
