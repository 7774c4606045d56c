#pragma once
// Video: decode the source stream and turn any frame timing (variable, odd
// rates) into a constant rate by holding or dropping frames, numbering them 0, 1, 2... in the time
// base 1/fps. The rm muxer counts frames rather than reading times, so no frame may be skipped.

#include <atomic>
#include <functional>
#include <span>
#include <vector>

#include "engine/core/ffmpeg_ptr.h"
#include "engine/core/status.h"
#include "engine/plan/encode_plan.h"
#include "engine/source/media_source.h"
#include "engine/source/picture_filter.h"

namespace velmora::encoder {

// The longest key-frame interval FFmpeg's RealVideo encoder accepts; it cuts
// a longer one down to this.
inline constexpr int kMaxGopSize = 600;

// Receives each finished frame; false means the job is being torn down.
using FrameSink = std::function<bool(FramePtr)>;

// What an encoder is opened for. Every frame brings its quantiser (the
// look-ahead's or the group quantiser's), so FFmpeg's own rate control never
// decides one. A first pass measures what frames cost, for the look-ahead:
// it gives FFmpeg's first-pass statistics and codes without trellis
// quantisation and the coded-block search, at a quarter of the cost.
enum class EncoderUse { Coding, FirstPass };

Status openVideoEncoder(const VideoPlan& plan, CodecContextPtr& encoder,
                        EncoderUse use = EncoderUse::Coding);

// Codes `frame` on a trial encoder at the quantiser `lambda` gives (a key
// frame when `key`) and takes its packet; the frame's own type and quality
// are left as they were.
Status codeTrialFrame(AVCodecContext& encoder, AVFrame& frame, bool key, int lambda,
                      PacketPtr& packet);

// The encoder's size and pixel format from a decoded picture, with the
// colours players show (`picture`'s conversion, in the same pass where the
// scaler can do it); on the video encoder's thread, which has time to
// spare, so the reader only decodes.
class VideoScaler {
  public:
    explicit VideoScaler(Orientation orientation = {}, PictureConversion picture = {})
        : orientation_(orientation), picture_(picture) {}
    // To `width` x `height` of the upright picture; `out` gets `in`'s timestamp.
    Status scale(const AVFrame& in, int width, int height, FramePtr& out);

  private:
    Status convert(const AVFrame& in, int width, int height, FramePtr& out);

    Orientation orientation_;
    PictureConversion picture_;
    SwsPtr scaler_;
    int scalerFrom_[3] = {0, 0, -1}, scalerTo_[2] = {0, 0};  // what scaler_ was made for
    PictureFilter light_;  // HDR and wide gamut: through linear light
};

// The quantiser for a group of frames, from one key frame to the next, when
// the plan asks for one (see VideoPlan::groupQuantiser): the finest one at
// which the group fits its share of the line, found by coding the group on
// a second encoder first. What a group spends more or less than its share
// goes to the next one.
class GroupQuantiser {
  public:
    Status open(const VideoPlan& plan);
    // Sets each frame's quality for the encoder. `reference` is the frame
    // coded before the group (null at the start): a group that does not
    // begin with a key frame is predicted from it. `repeats[i]`: frame i
    // shows what the frame before it showed. Once `*giveUp` is true the
    // trials end where they are and no quality is set: the caller codes
    // nothing of the group as it stands (a long group's trials take seconds).
    Status choose(std::vector<FramePtr>& group, const std::vector<bool>& repeats,
                  AVFrame* reference, const std::atomic<bool>* giveUp = nullptr);
    // What the chosen group came to.
    void account(double bits);

    static constexpr int kCoarsest = 31;
    // A trial codes this many repeats of a picture; each repeat after them
    // costs what the last one coded did. The first refines what the frame
    // before it left out, and from the second on a repeat is all but
    // skipped: coding them all made a trial cost as much as the group.
    static constexpr int kCodedRepeats = 2;

  private:
    struct Trial {
        double bits = 0, largest = 0;  // the group's and its largest frame's
    };
    Status trialBits(const std::vector<FramePtr>& group, const std::vector<bool>& repeats,
                     AVFrame* reference, int first, int quantiser, Trial& trial,
                     const std::atomic<bool>* giveUp);
    // What choose() is given, for its searches.
    struct Group {
        std::vector<FramePtr>& frames;
        const std::vector<bool>& repeats;
        AVFrame* reference;
        const std::atomic<bool>* giveUp;
        bool givenUp() const { return giveUp && *giveUp; }
    };
    // The two neighbouring quantisers the group is coded between, and their trials.
    struct Steps {
        int fine = 0, coarse = 0;
        Trial fineTrial, coarseTrial;
    };
    bool fits(const Trial& t) const;
    Status findSteps(const Group& group, Steps& steps);
    std::size_t framesAtFiner(const Steps& steps, std::size_t frames) const;
    Status findRest(const Group& group, const Steps& steps, int& rest);

    CodecContextPtr trial_;
    int qmin_ = 2;
    int last_ = 0;  // the previous group's quantiser
    double perFrame_ = 0, carryLimit_ = 0, frameLimit_ = kMaxVideoBufferBits;
    double target_ = 0, carry_ = 0;
    std::int64_t pts_ = 0;
};

// Decoded pictures (not yet scaled) on constant frame rates: the source is
// decoded once, and each output (one per file of the job) gets its own
// numbering at its own rate. Outputs share the decoded pictures; each slot
// is a reference, not a copy.
class VideoConverter {
  public:
    // `timeBase` is what the packets' timestamps count in (the stream's
    // own unless its declared rate was replaced). `rates`: frames a second
    // of each output, in the order of the sinks given later. While `stop`
    // is true no more frames go out, however many slots a frame would
    // still fill. `decoderThreads`: as videoDecoderThreads() gives them.
    // `deinterlace`: the deinterlacer's filter (deinterlaceFilter()), empty
    // for none; the outputs share its frames.
    Status open(const AVStream& stream, AVRational timeBase, std::vector<int> rates,
                std::int64_t originUs, int decoderThreads, const std::atomic<bool>* stop = nullptr,
                const std::string& deinterlace = {});

    // One packet of the source stream; `sinks` has one sink per output. One
    // that does not decode is skipped and counted; the previous picture
    // covers its time.
    Status sendPacket(const AVPacket& packet, std::span<const FrameSink> sinks);
    // End of the source: drains the decoder, then holds the last frame for
    // its duration.
    Status drain(std::span<const FrameSink> sinks);
    // A stop: ends at the frames already decoded.
    Status finish(std::span<const FrameSink> sinks);

    // From the next key frame on, decodes with `threads` (as openDecoder
    // takes them) on a second decoder; the pictures stay the same. Until
    // the new decoder has the key frame's picture, the old one goes on to
    // give the pictures shown before it (an open group's leading pictures
    // refer to the group before). False when a change is already under way
    // or the stream's packets carry no times to tell the pictures apart.
    bool switchThreads(int threads);
    // The threads decoding now, and whether a change waits for its key frame.
    int threads() const { return threads_; }
    bool switching() const { return nextThreads_ >= 0; }

    // Source time in packets that did not decode.
    double damagedSeconds() const { return damagedSeconds_; }
    // Source frames decoded so far.
    std::int64_t framesDecoded() const { return framesDecoded_; }

    // Seconds one picture is shown at most. Beyond the source's last frame
    // only its own duration counts, and a duration longer than this is a
    // damaged or made-up one. (Between frames the timeline decides: gaps
    // with no data at all are closed before a packet gets here.)
    static constexpr double kLongestFrame = 5.0;
    static constexpr double kStillSeconds = kStillPictureSeconds;

  private:
    struct Output {
        int fps = 0;
        std::int64_t nextSlot = 0;
    };
    Status receiveFrames(std::span<const FrameSink> sinks);
    Status send(AVCodecContext& decoder, const AVPacket* packet);
    // Where a decoded picture goes while the decoders change over.
    enum class Take { Deliver, Hold, Drop };
    Status receiveFrom(AVCodecContext& decoder, bool old, std::span<const FrameSink> sinks);
    Take route(const AVFrame& frame, bool old);
    Status startSwitch(const AVPacket& packet);
    Status endSwitch(std::span<const FrameSink> sinks);
    Status deliver(const AVFrame& decoded, std::span<const FrameSink> sinks);
    Status accept(const AVFrame& decoded, std::span<const FrameSink> sinks);
    Status emitUntil(double seconds, std::span<const FrameSink> sinks);
    bool fillsASlot(const AVPacket& packet) const;

    CodecContextPtr decoder_;
    // The change of threads: the decoder asked for, from the key frame whose
    // time is switchPts_ on (its pictures held until the old one is done).
    const AVStream* stream_ = nullptr;
    int threads_ = 1, nextThreads_ = -1;
    CodecContextPtr next_;
    std::int64_t switchPts_ = 0;
    int overlapPackets_ = 0;
    bool afterSwitch_ = false;  // the new decoder's leading pictures are still dropped
    std::vector<FramePtr> heldBack_;
    PictureFilter deinterlacer_;
    FramePtr decoded_;
    FramePtr held_;  // the decoded frame that fills slots until a newer one is due
    std::vector<Output> outputs_;
    AVRational streamTimeBase_{1, 1};
    double originSeconds_ = 0;
    double defaultDuration_ = 0;
    double lastTime_ = 0, lastDuration_ = 0;
    bool failedEmit_ = false;  // a sink refused: the job is being torn down
    const std::atomic<bool>* stop_ = nullptr;
    double damagedSeconds_ = 0;
    std::int64_t framesDecoded_ = 0;
};

}  // namespace velmora::encoder
