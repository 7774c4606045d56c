// The conversion the plan chooses for the source's picture, and the ffmpeg
// CLI's filters that do it. Each rule keeps one line of why; the
// measurements are in docs/encoding-rules.md, "Colours and fields".

#include "engine/plan/picture_conversion.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace velmora::encoder {

namespace {

// Players take an unstated matrix to be BT.709 from HD sizes up (a width of
// 1280, or more lines than PAL's 576), BT.601 below.
constexpr int kHdWidth = 1280;
constexpr int kSdLines = 576;

// HDR: the light shown as SDR white, BT.2408's reference white (HLG's 75 %),
// and the peak assumed where the source states none: BT.2100's nominal HLG
// display, and the usual mastering display of PQ.
constexpr double kReferenceWhiteNits = 203;
constexpr double kUnstatedPeakNits = 1000;
// Möbius' curve is straight up to this share of SDR white and bends the rest
// of the source's range into what is left [Tone mapping].
constexpr double kToneMapKnee = 0.8;
// Light up to this much over SDR white is clipped rather than bent: a
// stated peak a rounding above white needs no curve.
constexpr double kLeastPeakToMap = 1.01;

// The deinterlacer's judgement of combing needs this many frames judged
// combed, none judged progressive, where the stream says nothing or says
// progressive [Interlaced sources].
constexpr int kFewestCombedFrames = 1;

FieldOrder chooseFields(const SourceFields& fields) {
    const FieldCounts& m = fields.measured;
    const int combed = m.topFirst + m.bottomFirst;
    const FieldOrder measured =
        m.topFirst >= m.bottomFirst ? FieldOrder::TopFirst : FieldOrder::BottomFirst;
    const bool statedInterlaced =
        fields.stated == FieldOrder::TopFirst || fields.stated == FieldOrder::BottomFirst;
    if (statedInterlaced) {
        // Progressive pictures in an interlaced stream (film on broadcast)
        // lose detail to a deinterlacer and gain nothing.
        if (combed == 0 && m.progressive > 0) return FieldOrder::Progressive;
        return combed > 0 ? measured : fields.stated;
    }
    return combed >= kFewestCombedFrames && m.progressive == 0 ? measured : FieldOrder::Progressive;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

const char* rangeName(bool full) {
    return full ? "pc" : "tv";
}

// The matrix's name for the scale filter (first) and for zscale.
std::pair<const char*, const char*> matrixNames(ColourMatrix matrix) {
    switch (matrix) {
        case ColourMatrix::Bt709:
            return {"bt709", "bt709"};
        case ColourMatrix::Fcc:
            return {"fcc", "fcc"};
        case ColourMatrix::Smpte240:
            return {"smpte240m", "smpte240m"};
        case ColourMatrix::Bt2020:
            return {"bt2020", "bt2020nc"};
        case ColourMatrix::NotYuv:
            return {"bt601", "gbr"};
        default:
            return {"bt601", "bt470bg"};
    }
}

const char* zscaleTransferName(Transfer transfer) {
    switch (transfer) {
        case Transfer::Pq:
            return "smpte2084";
        case Transfer::Hlg:
            return "arib-std-b67";
        default:
            return "bt709";
    }
}

}  // namespace

PictureConversion pictureConversion(const SourceColour& colour, const SourceFields& fields,
                                    int width, int height) {
    PictureConversion p;
    p.matrix = colour.matrix;
    if (p.matrix == ColourMatrix::Unstated)
        p.matrix =
            width >= kHdWidth || height > kSdLines ? ColourMatrix::Bt709 : ColourMatrix::Bt601;
    p.fullRange = colour.fullRange;
    p.rangeInFormat = colour.rangeInFormat;
    p.transfer = colour.transfer;
    p.wideGamut = colour.wideGamut;
    if (p.throughLinearLight()) {
        // A source no brighter than SDR white shows its brightest as white;
        // a brighter one shows reference white as white and bends the rest.
        const double stated = colour.peakNits > 0 ? colour.peakNits : kUnstatedPeakNits;
        p.whiteNits = std::min(stated, kReferenceWhiteNits);
        p.peak = p.hdr() ? stated / p.whiteNits : 1;
    }
    p.fields = chooseFields(fields);
    return p;
}

std::string deinterlaceFilter(const PictureConversion& picture) {
    if (!picture.deinterlaced()) return {};
    // bwdif over yadif: sharper on still detail, as well on motion
    // [Interlaced sources]; a frame a frame, at the time of the first field.
    return std::string("bwdif=mode=send_frame:parity=") +
           (picture.fields == FieldOrder::TopFirst ? "tff" : "bff") + ":deint=all";
}

std::string colourFilters(const PictureConversion& picture, int width, int height) {
    if (!picture.changesColours()) return {};
    std::string chain =
        "scale=w=" + std::to_string(width) + ":h=" + std::to_string(height) + ":flags=bicubic";
    const char* range = rangeName(picture.fullRange);
    if (!picture.throughLinearLight()) {
        // The scaler's own matrix, in the same pass (through RGB where the
        // matrices differ).
        return chain + ":in_color_matrix=" + matrixNames(picture.matrix).first +
               ":out_color_matrix=bt601:in_range=" + range + ":out_range=tv";
    }
    // Scaled first, while the picture is still coded as stored: the light's
    // conversion then costs the output's pixels, not the source's.
    const bool rgb = picture.matrix == ColourMatrix::NotYuv;
    chain += std::string(":in_range=") + range + ":out_range=" + range +
             (rgb ? ",format=gbrp16le" : ",format=yuv420p10le");
    const char* primaries = picture.wideGamut ? "bt2020" : "bt709";
    chain += std::string(",zscale=tin=") + zscaleTransferName(picture.transfer) +
             ":min=" + matrixNames(picture.matrix).second + ":pin=" + primaries + ":rin=" + range +
             ":t=linear:m=gbr:p=" + primaries + ":r=pc:npl=" + number(picture.whiteNits) +
             ",format=gbrpf32le";
    if (picture.wideGamut) chain += ",zscale=t=linear:m=gbr:p=bt709:r=pc";
    if (picture.peak >= kLeastPeakToMap)
        chain += ",tonemap=tonemap=mobius:param=" + number(kToneMapKnee) +
                 ":desat=0:peak=" + number(picture.peak);
    return chain + ",zscale=t=bt709:m=bt470bg:p=bt709:r=tv,format=yuv420p";
}

}  // namespace velmora::encoder
