// The look-ahead's choice of each frame's quantiser from the first pass's measures.
#include "engine/stages/lookahead.h"

#include <algorithm>
#include <cmath>

#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace {

// The bits may run this part of the plan's buffer ahead of the line's share:
// the rest is the rate guard's, for what a frame costs beyond its estimate.
constexpr double kLineShare = 0.85;
// A frame is planned at most this part of the buffer (or of the rm packet's
// limit): nothing recodes a frame that comes out larger than planned.
constexpr double kFrameShare = 0.5;
// How fast the estimate of what a frame costs follows what the frames cost:
// predicted frames over about this many seconds, a key frame with this
// weight (they are few).
constexpr double kFollowSeconds = 2, kKeyFollow = 0.5;
constexpr double kFollowFrames = 2;  // at least this many frames' worth of texture first
// Towards the fine end the estimate holds near the first pass's quantiser
// only: a frame's is at most this much finer (grain the first pass dropped
// whole comes back at a finer quantiser, at many times the bits). Towards
// the coarse end it errs on the safe side, so the line can have any.
constexpr double kFinerSpan = 1.5;
// A predicted frame's quantiser follows its difficulty blurred with its
// neighbours', each this much less: a frame coded much finer than the one
// before it pays for what that one left out, which the first pass's frame
// did not (grain came back every other frame at many times its estimate).
constexpr double kBlurWeight = 0.5;
constexpr int kBlurFrames = 4;
// The rate factor's search: steps of a doubling until the answer is
// bracketed, then halvings to under a thousandth (a quantiser step is a
// hundredth at the finest); between every frame at the coarsest and every
// one at the finest.
constexpr double kBracketStep = 0.6931471805599453;  // log 2
constexpr int kSearchSteps = 10;
constexpr double kLogRateLeast = -13.8, kLogRateMost = 20.7;  // log 1e-6, log 1e9
// What follows the window is taken to cost what the history did, at most
// this many of its frames sampled evenly (and every key frame): the search
// weighs them at every step.
constexpr std::size_t kHistorySamples = 100;
// When even the finest quantiser on every frame held leaves the plan's rate
// unspent, and some of the source is still to come, frames go no finer than
// this: what they would spend on the way down to 2 is kept for what the
// window cannot see yet, up to the plan's buffer behind its share. At 56K a
// talking head before a cut to a busy street spent 70 kbit on its first 20
// frames at 2 (a second pass, knowing the street, 51); at 3 it spent 46, and
// the street had 324 kbit instead of 302. Kept without a limit, a source calm
// to its end lost what it would have spent: a fractal zoom, calm after its
// first 8 s, came at LAN to 29 % fewer bits and 0.009 less chroma SSIM; with
// the limit, 2 % and 0.0006.
constexpr double kUnspentFloor = 3;
}  // namespace

Status Lookahead::open(const VideoPlan& plan) {
    if (plan.fps <= 0) return Status::fail(ErrorKind::Internal, text::kEncodeFailed);
    qmin_ = plan.qmin;
    qmax_ = std::max(plan.qmin, plan.qmax);
    // As FFmpeg's rate control would read the plan (qcomp, i_qfactor).
    qcomp_ = plan.evenQuantiser ? 0.7 : 0.5;
    keyFactor_ = std::fabs(plan.keyQuantFactor);
    gop_ = plan.gop;
    perFrame_ = static_cast<double>(plan.bitRate) / plan.fps;
    linePerFrame_ =
        static_cast<double>(plan.ceilingRate > 0 ? plan.ceilingRate : plan.maxRate) / plan.fps;
    allowance_ = plan.allowanceBits > 0 ? plan.allowanceBits : plan.bufferSize;
    frameLimit_ = plan.bufferSize > 0 ? plan.bufferSize : kMaxVideoBufferBits;
    frames_ = plan.wholeBits > 0 && plan.ceilingRate > 0
                  ? static_cast<double>(plan.wholeBits) / plan.ceilingRate * plan.fps
                  : 0;
    // A picture as FFmpeg holds it: each plane's lines padded.
    const double pictureBytes =
        (FFALIGN(plan.width, 64) + FFALIGN(plan.width / 2, 64)) * static_cast<double>(plan.height);
    followDecay_ = 1 - 1 / std::max(kFollowFrames, kFollowSeconds * plan.fps);
    windowFrames_ = std::max<std::size_t>(
        1, std::lround(std::min(kWindowSeconds * plan.fps, kWindowBytes / pictureBytes)));
    startFrames_ = std::min<std::size_t>(windowFrames_, std::lround(kStartSeconds * plan.fps));
    historyFrames_ = std::max<std::size_t>(1, std::lround(kHorizonSeconds * plan.fps));
    return Status::ok();
}

void Lookahead::add(FramePtr frame, bool still, const FrameMeasure& measure) {
    if (!frame) return;
    Held held;
    held.key = frame->pict_type == AV_PICTURE_TYPE_I;
    held.still = still;
    held.measure = measure;
    if (held.key) lastKey_ = held.measure;
    held.frame = std::move(frame);
    window_.push_back(std::move(held));
    blur();
}

// Each predicted frame's share of the quantiser from its difficulty and its
// neighbours' (those gone and those held), key frames apart.
void Lookahead::blur() {
    const auto difficulty = [](const Measure& m) { return m.texture * m.quantiser; };
    const std::size_t first = window_.size() > kBlurFrames ? window_.size() - kBlurFrames - 1 : 0;
    for (std::size_t i = first; i < window_.size(); ++i) {
        Measure& m = window_[i].measure;
        if (m.key) {
            m.shape = std::pow(difficulty(m), 1 - qcomp_);
            continue;
        }
        double sum = difficulty(m), weights = 1, weight = 1;
        for (int d = 1; d <= kBlurFrames; ++d) {
            weight *= kBlurWeight;
            const std::size_t after = i + static_cast<std::size_t>(d);
            if (after < window_.size() && !window_[after].measure.key) {
                sum += weight * difficulty(window_[after].measure);
                weights += weight;
            }
            const Measure* before = nullptr;
            if (i >= static_cast<std::size_t>(d))
                before = &window_[i - static_cast<std::size_t>(d)].measure;
            else if (history_.size() + i >= static_cast<std::size_t>(d))
                before = &history_[history_.size() + i - static_cast<std::size_t>(d)];
            if (before && !before->key) {
                sum += weight * difficulty(*before);
                weights += weight;
            }
        }
        m.shape = std::pow(sum / weights, 1 - qcomp_);
    }
}

// As FFmpeg's second pass: a frame's bits follow its complexity to the
// power qcomp, so its quantiser follows the rest; a key frame takes the
// quantiser of the frame after it times i_qfactor.
double Lookahead::quantiser(const Measure& m, bool key, double rate, const Measure* next) const {
    const double own = m.shape / rate;
    const double q = key ? keyFactor_ * (next && !next->key ? next->shape / rate : own) : own;
    return std::clamp(std::max(q, m.quantiser / kFinerSpan), qmin_, qmax_);
}

// The texture bits of `m` at `quantiser`, as the first pass found them.
double Lookahead::texture(const Measure& m, bool key, double quantiser) const {
    // A frame the first pass coded predicted and that becomes a key frame
    // costs what the last key frame did, at least.
    const Measure& own =
        key && !m.key && lastKey_.texture * lastKey_.quantiser > m.texture * m.quantiser ? lastKey_
                                                                                         : m;
    const double ratio = own.quantiser / quantiser;
    return own.texture * std::pow(ratio, ratio > 1 ? kFinerExponent : kCoarserExponent);
}

double Lookahead::bits(const Measure& m, bool key, double quantiser) const {
    return (key ? keyScale_ : scale_) * texture(m, key, quantiser) + m.other;
}

// The window's bits at `rate`, and how far at most they run ahead of the
// line (`peak`: bits past the line's share so far, frame by frame).
double Lookahead::windowBits(double rate, double* peak, double* keyBits) const {
    double total = 0;
    double worst = -1e300;
    for (std::size_t i = 0; i < window_.size(); ++i) {
        const Held& h = window_[i];
        const Measure* next = i + 1 < window_.size() ? &window_[i + 1].measure : nullptr;
        const double b = bits(h.measure, h.key, quantiser(h.measure, h.key, rate, next));
        total += b;
        if (keyBits && h.key) *keyBits += b;
        if (peak) {
            const double line = (slots_ + static_cast<double>(i) + 1) * linePerFrame_;
            worst = std::max(worst, spent_ + total - line);
        }
    }
    if (peak) *peak = worst;
    return total;
}

// Frames beyond the window still to come: to the source's end, or a
// minute's worth when its length is unknown.
double Lookahead::toCome() const {
    const double horizon = static_cast<double>(historyFrames_);
    if (ending_) return 0;
    if (frames_ <= 0) return horizon;
    return std::clamp(frames_ - slots_ - static_cast<double>(window_.size()), 0.0, horizon);
}

// The rate factor at which what was spent, the window and what follows it
// (taken to cost what the last minute and the window did a frame) come to
// the plan's rate; then lowered until the window keeps within the line.
double Lookahead::rateFactor() {
    const double held = static_cast<double>(window_.size());
    const double rest = toCome();
    const double known = static_cast<double>(history_.size()) + held;
    double keys = 0;
    for (const Held& h : window_) keys += h.key ? 1 : 0;
    if (rest > 0) keys += sampleHistory();
    // Key frames come as often as they did, and at least as the plan's
    // interval puts them: until a whole interval is known, the source's
    // first key frame stood for one frame in every few (at 3 fps, one in
    // three), and the frames after it went coarse to pay for keys that
    // never came.
    const double keyShare =
        known > 0 ? std::max(keys, 1.0) / std::max(known, std::max(1.0, static_cast<double>(gop_)))
                  : 0;
    const double wanted = perFrame_ * (slots_ + held + rest);
    const auto excess = [&](double rate) {
        double keyBits = 0;
        const double window = windowBits(rate, nullptr, &keyBits);
        if (rest <= 0) return spent_ + window - wanted;
        const double all = historyBits(rate, &keyBits) + window;
        const double perKey = keys > 0 ? keyBits / keys : 0;
        const double perOther = known > keys ? (all - keyBits) / (known - keys) : perKey;
        return spent_ + window + rest * (keyShare * perKey + (1 - keyShare) * perOther) - wanted;
    };
    // The largest rate factor that fits, from the last one: doubled or
    // halved until the answer is bracketed, then halved to a step far below
    // a quantiser's.
    const auto search = [&](auto fits) {
        double lo = std::log(lastRate_ > 0 ? lastRate_ : 1.0), hi = lo;
        if (fits(std::exp(lo))) {
            do hi += kBracketStep;
            while (hi < kLogRateMost && fits(std::exp(hi)));
            if (hi >= kLogRateMost) return std::exp(kLogRateMost);
            lo = hi - kBracketStep;
        } else {
            do lo -= kBracketStep;
            while (lo > kLogRateLeast && !fits(std::exp(lo)));
            if (lo <= kLogRateLeast) return std::exp(kLogRateLeast);
            hi = lo + kBracketStep;
        }
        for (int i = 0; i < kSearchSteps; ++i) {
            const double mid = (lo + hi) / 2;
            (fits(std::exp(mid)) ? lo : hi) = mid;
        }
        return std::exp(lo);
    };
    double rate = search([&](double r) { return excess(r) <= 0; });
    double peak = 0;
    windowBits(rate, &peak);
    if (peak > kLineShare * allowance_) {
        rate = search([&](double r) {
            double p = 0;
            windowBits(r, &p);
            return p <= kLineShare * allowance_;
        });
    }
    return rate;
}

// Which frames of the history stand for it: every key frame, and of the
// others every so many, counted from the source's first frame so that a
// frame stays sampled while it is in the history.
double Lookahead::sampleHistory() {
    sampled_.clear();
    const std::size_t stride = std::max<std::size_t>(1, history_.size() / kHistorySamples);
    const std::size_t first = static_cast<std::size_t>(slots_) - history_.size();
    double others = 0, kept = 0;
    for (std::size_t i = 0; i < history_.size(); ++i) {
        if (history_[i].key) {
            sampled_.push_back({&history_[i], 1});
            continue;
        }
        others += 1;
        if ((first + i) % stride == 0) {
            sampled_.push_back({&history_[i], 0});
            kept += 1;
        }
    }
    for (Sample& sample : sampled_)
        if (sample.weight == 0) sample.weight = others / kept;
    return static_cast<double>(history_.size()) - others;
}

double Lookahead::historyBits(double rate, double* keyBits) const {
    double total = 0;
    for (const Sample& s : sampled_) {
        const double b = s.weight * bits(*s.measure, s.measure->key,
                                         quantiser(*s.measure, s.measure->key, rate, nullptr));
        total += b;
        if (s.measure->key) *keyBits += b;
    }
    return total;
}

void Lookahead::remember(const Measure& m, bool key) {
    Measure kept = m;
    kept.key = key;
    history_.push_back(kept);
    while (history_.size() > historyFrames_) history_.pop_front();
    slots_ += 1;
}

FramePtr Lookahead::take(bool key) {
    const double rate = rateFactor();
    lastRate_ = rate;
    const bool unseen = toCome() > 0;
    Held held = std::move(window_.front());
    window_.pop_front();
    const Measure* next = window_.empty() ? nullptr : &window_.front().measure;
    double q = quantiser(held.measure, key, rate, next);
    const double keptBack = perFrame_ * slots_ - spent_;
    if (rate >= std::exp(kLogRateMost) && unseen && keptBack < allowance_)
        q = std::max(q, std::min(kUnspentFloor, qmax_));
    // No frame past its share of the buffer: coarser until it fits.
    const double limit = kFrameShare * frameLimit_;
    while (q < qmax_ && bits(held.measure, key, q) > limit) q = std::min(qmax_, q * 1.05);
    held.frame->quality = static_cast<int>(std::lround(FF_QP2LAMBDA * q));
    held.frame->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    taken_ = held.measure;
    takenKey_ = key;
    takenQuantiser_ = q;
    remember(held.measure, key);
    return std::move(held.frame);
}

void Lookahead::leaveOut() {
    remember(window_.front().measure, window_.front().key);
    window_.pop_front();
}

void Lookahead::account(double bits) {
    spent_ += bits;
    // How far the frames' texture came from the estimate. Predicted frames
    // over the last seconds together: the first pass and the coding share
    // the bits out between neighbouring frames differently (a frame one of
    // them all but skips, the next makes up for), so one frame's figure
    // swung the estimate of every frame after it, and with it the
    // quantisers, by half either way on grain.
    const double expected = texture(taken_, takenKey_, takenQuantiser_);
    const double coded = std::max(0.0, bits - taken_.other);
    if (!takenKey_) {
        codedTexture_ = followDecay_ * codedTexture_ + coded;
        expectedTexture_ = followDecay_ * expectedTexture_ + expected;
        if (expectedTexture_ > kFollowFrames * 0.05 * perFrame_)
            scale_ = std::clamp(codedTexture_ / expectedTexture_, 0.25, 4.0);
    } else if (expected > 0.05 * perFrame_ && coded > 0) {
        const double seen = std::clamp(coded / expected, 0.25, 4.0);
        keyScale_ = std::clamp(
            std::exp((1 - kKeyFollow) * std::log(keyScale_) + kKeyFollow * std::log(seen)), 0.5,
            2.0);
    }
}

}  // namespace velmora::encoder
