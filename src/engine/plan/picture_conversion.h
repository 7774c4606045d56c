#pragma once
// How the source's picture is coded (its colours and its fields), and what
// the video stage does so that it looks the same where RealVideo is played:
// every RealVideo decoder shows BT.601 colours in limited range, and whole
// frames. Pure: the plan decides, and both the video stage and the ffmpeg
// CLI's filters (--print-plan) follow that decision. Why each choice holds
// is in docs/encoding-rules.md, "Colours and fields".

#include <cstdint>
#include <string>

namespace velmora::encoder {

// The matrix from R'G'B' to the stored Y'CbCr.
enum class ColourMatrix : std::uint8_t {
    Unstated,
    Bt601,
    Bt709,
    Fcc,
    Smpte240,
    Bt2020,
    NotYuv,  // RGB or grey pixels: no matrix to undo
};

enum class Transfer : std::uint8_t { Sdr, Pq, Hlg };

enum class FieldOrder : std::uint8_t { Unstated, Progressive, TopFirst, BottomFirst };

// What the source's video stream says of its colours.
struct SourceColour {
    ColourMatrix matrix = ColourMatrix::Unstated;
    bool fullRange = false;
    // The pixel format says full range itself (yuvj420p): the scaler knows.
    bool rangeInFormat = false;
    Transfer transfer = Transfer::Sdr;
    bool wideGamut = false;  // BT.2020 primaries
    // The brightest light the source states, cd/m²: its content light level
    // (MaxCLL), else its mastering display's peak; 0 when it states neither.
    double peakNits = 0;
};

// Frames of the first look judged by their combing as FFmpeg's idet judges
// a single frame: each field against the frames before and after it.
struct FieldCounts {
    int topFirst = 0, bottomFirst = 0, progressive = 0;
};

struct SourceFields {
    FieldOrder stated = FieldOrder::Unstated;
    FieldCounts measured;
};

// What the video stage does to the source's picture besides scaling it.
struct PictureConversion {
    ColourMatrix matrix = ColourMatrix::Bt601;  // the source's, players' default where unstated
    bool fullRange = false, rangeInFormat = false;
    Transfer transfer = Transfer::Sdr;
    bool wideGamut = false;
    // HDR and wide gamut: the light that becomes SDR white (cd/m²), and the
    // brightest light over it; above 1 the rest is tone-mapped.
    double whiteNits = 0;
    double peak = 1;
    FieldOrder fields = FieldOrder::Progressive;  // deinterlaced unless progressive

    bool deinterlaced() const { return fields != FieldOrder::Progressive; }
    // Through zscale and tonemap (libavfilter) rather than the scaler alone.
    bool throughLinearLight() const { return transfer != Transfer::Sdr || wideGamut; }
    bool hdr() const { return transfer != Transfer::Sdr; }
    bool changesColours() const {
        return throughLinearLight() || (fullRange && !rangeInFormat) ||
               (matrix != ColourMatrix::Bt601 && matrix != ColourMatrix::NotYuv);
    }
    bool operator==(const PictureConversion&) const = default;
};

// The conversion for a source of `width` x `height` (upright).
PictureConversion pictureConversion(const SourceColour& colour, const SourceFields& fields,
                                    int width, int height);

// The deinterlacer in the ffmpeg CLI's filter syntax; empty when none.
std::string deinterlaceFilter(const PictureConversion& picture);

// The scaler to `width` x `height` with the colour conversion, in the ffmpeg
// CLI's filter syntax, ending in yuv420p; empty when the scaler alone, as
// it stands, gives the right colours.
std::string colourFilters(const PictureConversion& picture, int width, int height);

}  // namespace velmora::encoder
