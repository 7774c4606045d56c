#pragma once
// Rate control that knows what is coming, for moving pictures: each picture
// is coded once on a cheaper second encoder as it arrives (a first pass, see
// first_pass.h), and waits in a window of up to 10 s before its turn. Its
// quantiser then weighs its difficulty against the window's and the last
// minute's, as FFmpeg's second pass weighs it against the whole file's
// (bits as the difficulty to the power qcomp), so that what an easy stretch
// leaves goes to the hard one after it instead of the one-pass rate
// control's spending it at once. The line holds it: the bits never run
// further ahead of the line's share than the plan's buffer (as the rate
// guard counts them), and the whole spends the plan's rate over the
// source's length, or over the next minute when the length is unknown (a
// pipe: what follows the window is taken to cost what the last minute did).
//
// Memory, whatever the source's length: the window's pictures at the
// encoder's size, at most kWindowBytes (16 MB: at 512K, 384x288 at 25 fps,
// that is 4 s), and a few numbers a frame for the last minute.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "engine/core/ffmpeg_ptr.h"
#include "engine/core/status.h"
#include "engine/plan/encode_plan.h"
#include "engine/stages/first_pass.h"

namespace velmora::encoder {

class Lookahead {
  public:
    Status open(const VideoPlan& plan);

    // Holds `frame` (at the encoder's size; AV_PICTURE_TYPE_I asks for a
    // key frame) as the first pass measured it. `still`: it shows what the
    // frame before it showed.
    void add(FramePtr frame, bool still, const FrameMeasure& measure);
    // No frame will be added any more: the window holds the source's last.
    void end() { ending_ = true; }

    std::size_t held() const { return window_.size(); }
    // Frames held before the first goes on. The window grows from a
    // second's frames by a frame for every frame gone, to its full length:
    // the first packets, and the progress, come as soon as a second has
    // been read, and a frame waits for as many frames after it as went
    // before it.
    std::size_t window() const {
        return std::min(windowFrames_, startFrames_ + static_cast<std::size_t>(slots_));
    }
    bool frontIsKey() const { return window_.front().key; }
    bool frontIsStill() const { return window_.front().still; }
    std::int64_t frontSlot() const { return window_.front().frame->pts; }

    // The oldest frame held, its quality set; `key` makes it a key frame
    // (a cut whose frame the rate guard left out moves to the next one).
    FramePtr take(bool key);
    // The oldest frame held is left out: the rate guard's choice.
    void leaveOut();
    // What the frame taken last came to.
    void account(double bits);

    // The window's length, in seconds and in the bytes of its pictures
    // (at 512K it holds 4 s, at LAN and below 10 s)...
    static constexpr double kWindowSeconds = 10;
    static constexpr double kWindowBytes = 16 << 20;
    // ...and at the start, before it grows.
    static constexpr double kStartSeconds = 1;
    // What the window and the history stand for when the source's length
    // is unknown, and at most, in seconds.
    static constexpr double kHorizonSeconds = 60;

  private:
    using Measure = FrameMeasure;
    struct Held {
        FramePtr frame;
        Measure measure;
        bool key = false, still = false;
    };

    void blur();
    double quantiser(const Measure& m, bool key, double rate, const Measure* next) const;
    double texture(const Measure& m, bool key, double quantiser) const;
    double bits(const Measure& m, bool key, double quantiser) const;
    // `keyBits`, when given, gains the key frames' share.
    double windowBits(double rate, double* peak, double* keyBits = nullptr) const;
    double toCome() const;
    double rateFactor();
    double sampleHistory();  // the history's key frames
    double historyBits(double rate, double* keyBits) const;
    void remember(const Measure& m, bool key);

    std::deque<Held> window_;
    std::deque<Measure> history_;  // the frames gone, the last kHorizonSeconds
    struct Sample {
        const Measure* measure;
        double weight;  // the history's frames it stands for
    };
    std::vector<Sample> sampled_;
    std::size_t windowFrames_ = 1, startFrames_ = 1, historyFrames_ = 1;
    int gop_ = 0;  // frames from one key frame to the next, at most
    double qmin_ = 2, qmax_ = 31, qcomp_ = 0.5, keyFactor_ = 0.8;
    double perFrame_ = 0;      // the plan's rate, bits a frame
    double linePerFrame_ = 0;  // the line's share, bits a frame (as the rate guard counts)
    double allowance_ = 0, frameLimit_ = 0;
    double frames_ = 0;  // frames in the source, 0 when unknown
    Measure lastKey_;
    // Actual against first-pass texture bits, key frames and the others.
    double keyScale_ = 1, scale_ = 1;
    double codedTexture_ = 0, expectedTexture_ = 0,
           followDecay_ = 0;  // decaying sums behind scale_
    double spent_ = 0;        // bits of the frames coded so far
    double slots_ = 0;        // frames gone (coded or left out)
    double lastRate_ = 0;     // the last rate factor, where the next search starts
    double takenQuantiser_ = 0;
    Measure taken_;
    bool takenKey_ = false, ending_ = false;
};

}  // namespace velmora::encoder
