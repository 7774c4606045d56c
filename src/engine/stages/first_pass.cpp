#include "engine/stages/first_pass.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/stages/video_stage.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace {

// The quantiser the look's figure is at (the finest it tries).
constexpr double kLookQuantiser = 2;
// A frame whose motion and headers alone come near the plan's rate is
// aimed at this part of it in texture.
constexpr double kLeastTextureShare = 0.1;
// The first predicted frame after a key frame whose own fit is this far
// from the aim, either way, starts a new scene: the aim follows it alone
// (the frames before the cut say nothing of the ones after it).
constexpr double kCutFactor = 3;

}  // namespace

Status FirstPass::open(const VideoPlan& plan) {
    if (plan.fps <= 0) return Status::fail(ErrorKind::Internal, text::kEncodeFailed);
    qmin_ = plan.qmin;
    qmax_ = std::max(plan.qmin, plan.qmax);
    keyFactor_ = std::fabs(plan.keyQuantFactor);
    perFrame_ = static_cast<double>(plan.bitRate) / plan.fps;
    // The first frames at where the look's figure puts a frame of the plan's rate.
    const double macroblocks = std::ceil(plan.width / 16.0) * std::ceil(plan.height / 16.0);
    const double lookBits = plan.initialComplexity * macroblocks;
    quantiser_ = lookBits > 0 && perFrame_ > 0
                     ? std::clamp(kLookQuantiser * lookBits / perFrame_, qmin_, qmax_)
                     : (qmin_ + qmax_) / 2;
    recentCount_ = recentNext_ = 0;
    afterKey_ = false;
    return openVideoEncoder(plan, trial_, EncoderUse::FirstPass);
}

Status FirstPass::measure(AVFrame& frame, bool key, FrameMeasure& out) {
    double quantiser = quantiser_;
    if (key) quantiser = std::clamp(keyFactor_ * quantiser, qmin_, qmax_);
    PacketPtr packet;
    if (Status s = codeTrialFrame(*trial_, frame, key,
                                  static_cast<int>(std::lround(FF_QP2LAMBDA * quantiser)), packet);
        !s)
        return s;
    // The first pass's statistics split the frame as FFmpeg's second pass
    // reads them: texture, which shrinks as the quantiser grows, and the rest.
    int pictType = 0, lambda = 0, intraBits = 0, interBits = 0, motionBits = 0, miscBits = 0;
    const bool parsed =
        trial_->stats_out &&
        std::sscanf(trial_->stats_out, "in:%*d out:%*d type:%d q:%d itex:%d ptex:%d mv:%d misc:%d",
                    &pictType, &lambda, &intraBits, &interBits, &motionBits, &miscBits) == 6;
    out = {};
    out.key = key;
    out.quantiser = quantiser;
    out.texture = parsed ? intraBits + interBits : packet->size * 8.0;
    out.other = parsed ? motionBits + miscBits : 0;
    if (!key) follow(out);
    afterKey_ = key;
    return Status::ok();
}

// The next frames at the quantiser where the last predicted ones would
// have come to the plan's rate: near the one the look-ahead will give them,
// where its estimate of another quantiser's cost holds best. After a cut
// it starts afresh: averaged with the calm scene's last frames, a busy
// street's first frames were measured at 2 and 4 where the rest went at
// 14 to 20, and the look-ahead, unable to plan a frame much finer than it
// was measured, gave all it had saved to the one measured at 4 (twelve
// frames' worth of bits at 56K). Only the first pass's own frames count,
// so that it measures the same whatever the coding is doing.
void FirstPass::follow(const FrameMeasure& m) {
    const double target = std::max(perFrame_ - m.other, kLeastTextureShare * perFrame_);
    const double ratio = std::max(m.texture, 1.0) / target;
    const double fits = std::clamp(
        m.quantiser * std::pow(ratio, 1 / (ratio > 1 ? kCoarserExponent : kFinerExponent)), qmin_,
        qmax_);
    constexpr std::size_t kRecent = std::size(decltype(recent_){});
    if (afterKey_ && std::fabs(std::log(fits / quantiser_)) > std::log(kCutFactor))
        recentCount_ = recentNext_ = 0;
    recent_[recentNext_] = std::log(fits);
    recentNext_ = (recentNext_ + 1) % kRecent;
    recentCount_ = std::min(recentCount_ + 1, kRecent);
    double logs = 0;
    for (std::size_t i = 0; i < recentCount_; ++i) logs += recent_[i];
    quantiser_ = std::clamp(std::exp(logs / static_cast<double>(recentCount_)), qmin_, qmax_);
}

Status FirstPassAhead::start(const VideoPlan& plan, Source source, Prepare prepare,
                             std::size_t depth) {
    stop();
    if (Status s = pass_.open(plan); !s) return s;
    out_.emplace(depth);
    thread_ = std::thread(
        [this, source = std::move(source), prepare = std::move(prepare)] { run(source, prepare); });
    return Status::ok();
}

void FirstPassAhead::run(const Source& source, const Prepare& prepare) {
    for (;;) {
        std::optional<FramePtr> frame = source();
        if (!frame) break;
        MeasuredFrame measured;
        bool key = false;
        Status s = prepare(*frame, key, measured.still);
        if (s) s = pass_.measure(**frame, key, measured.measure);
        if (!s) {
            failure_ = std::move(s);
            out_->abort();
            return;
        }
        (*frame)->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        measured.frame = std::move(*frame);
        if (!out_->push(std::move(measured))) return;
    }
    out_->close();
}

void FirstPassAhead::stop() {
    if (out_) out_->abort();
    if (thread_.joinable()) thread_.join();
}

}  // namespace velmora::encoder
