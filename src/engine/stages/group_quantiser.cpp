// The group quantiser: trial codings of a group of frames, on an encoder of
// its own, find the finest quantiser at which the group fits its share.
#include <algorithm>
#include <cmath>

#include "engine/stages/video_stage.h"

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

// A group fits when it keeps to its share and no frame outgrows the rate
// control's buffer: the line's preroll, and the rm packets' limit.
bool GroupQuantiser::fits(const Trial& t) const {
    return t.bits <= target_ && t.largest <= frameLimit_;
}

// The finest quantiser whose group fits. Bits fall as the quantiser grows,
// about as its inverse, and a group mostly needs about what the one before
// it did: from there, to where the trial's bits say the group would just
// fit, until one side fits and the other does not, then halve the range
// until it is one step wide: a steady picture costs two trials, a slide
// show's new slide about three [Coded in groups].
Status GroupQuantiser::findSteps(const Group& group, Steps& steps) {
    // fine never fits and coarse always does; one step outside the range
    // stands for a side not tried yet.
    int& fine = steps.fine;
    int& coarse = steps.coarse;
    fine = qmin_ - 1;
    coarse = kCoarsest + 1;
    Trial t;
    int quantiser = last_ > 0 ? last_ : (qmin_ + kCoarsest) / 2;
    while (coarse - fine > 1) {
        if (Status s = trialBits(group.frames, group.repeats, group.reference, quantiser, quantiser,
                                 t, group.giveUp);
            !s || group.givenUp())
            return s;
        if (fits(t)) {
            coarse = quantiser;
            steps.coarseTrial = t;
        } else {
            fine = quantiser;
            steps.fineTrial = t;
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
    return Status::ok();
}

// Between the two steps: the first frames, which the others are predicted
// from, take the finer one, as many as the target leaves room for, unless a
// frame at the finer step would outgrow the buffer.
std::size_t GroupQuantiser::framesAtFiner(const Steps& steps, std::size_t frames) const {
    const Trial& fine = steps.fineTrial;
    const Trial& coarse = steps.coarseTrial;
    if (!(steps.fine < steps.coarse && fine.bits > coarse.bits && fine.largest <= frameLimit_))
        return 0;
    const double share = std::clamp((target_ - coarse.bits) / (fine.bits - coarse.bits), 0.0, 1.0);
    return static_cast<std::size_t>(std::lround(share * static_cast<double>(frames)));
}

// When only the first frame kept the finer steps out (a slide's key frame
// past the buffer), it takes the coarser one, and the frames after it
// refine the picture at the finest quantiser at which the group still
// fits, so the group's share is spent. `rest` comes in as the coarser step.
Status GroupQuantiser::findRest(const Group& group, const Steps& steps, int& rest) {
    if (!(steps.fine < steps.coarse && steps.fineTrial.largest > frameLimit_ &&
          group.frames.size() > 1))
        return Status::ok();
    Trial t;
    int tooFine = qmin_ - 1;  // rest fits at `rest`, not at `tooFine`
    while (rest - tooFine > 1) {
        const int quantiser = (rest + tooFine) / 2;
        if (Status s = trialBits(group.frames, group.repeats, group.reference, steps.coarse,
                                 quantiser, t, group.giveUp);
            !s || group.givenUp())
            return s;
        (fits(t) ? rest : tooFine) = quantiser;
    }
    return Status::ok();
}

Status GroupQuantiser::choose(std::vector<FramePtr>& frames, const std::vector<bool>& repeats,
                              AVFrame* reference, const std::atomic<bool>* giveUp) {
    if (frames.empty()) return Status::ok();
    target_ = perFrame_ * static_cast<double>(frames.size()) + carry_;
    const Group group{frames, repeats, reference, giveUp};
    Steps steps;
    if (Status s = findSteps(group, steps); !s || group.givenUp()) return s;
    const std::size_t finer = framesAtFiner(steps, frames.size());
    int rest = steps.coarse;
    if (finer == 0) {
        if (Status s = findRest(group, steps, rest); !s || group.givenUp()) return s;
    }
    for (std::size_t i = 0; i < frames.size(); ++i)
        frames[i]->quality = FF_QP2LAMBDA * (i < finer ? steps.fine : i > 0 ? rest : steps.coarse);
    last_ = steps.coarse;
    return Status::ok();
}

void GroupQuantiser::account(double bits) {
    carry_ = std::clamp(target_ - bits, -carryLimit_, carryLimit_);
}

}  // namespace velmora::encoder
