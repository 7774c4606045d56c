// The plan in the encoder's terms: rv20's options by their FFmpeg names, and
// the ffmpeg CLI's arguments for the same encode.

#include <cstdio>
#include <type_traits>

#include "engine/plan/encode_plan.h"

namespace velmora::encoder {

using enum AudioCodec;

std::vector<std::pair<std::string, std::string>> videoEncoderOptions(const VideoPlan& video) {
    char keyFactor[16];
    std::snprintf(keyFactor, sizeof keyFactor, "%g", static_cast<double>(video.keyQuantFactor));
    // rv20 codes motion vectors of up to 16 pixels (32 half pixels) and
    // FFmpeg searches further unless told: a block whose best match lies
    // beyond is then coded whole instead of from the best match in reach.
    std::vector<std::pair<std::string, std::string>> options{
        {"trellis", "1"},  {"mpv_flags", "+cbp_rd"}, {"last_pred", "3"},
        {"dia_size", "2"}, {"me_range", "32"},       {"i_qfactor", keyFactor}};
    if (video.initialComplexity > 0)
        options.emplace_back("rc_init_cplx", std::to_string(video.initialComplexity));
    if (video.steadyQuantiser) {
        options.emplace_back("qsquish", "1");
        options.emplace_back("rc_init_occupancy", std::to_string(video.bitRate / 2));
    }
    if (video.evenQuantiser) options.emplace_back("qcomp", "0.7");
    if (video.ownFrameQuantiser) options.emplace_back("qblur", "0");
    return options;
}

std::vector<std::string> ffmpegOutputArguments(const EncodePlan& plan) {
    std::vector<std::string> args;
    const auto add = [&](std::string option, auto value) {
        args.push_back(std::move(option));
        if constexpr (std::is_arithmetic_v<decltype(value)>)
            args.push_back(std::to_string(value));
        else
            args.emplace_back(value);
    };
    if (plan.video) {
        const VideoPlan& v = *plan.video;
        // The deinterlacer, then the scaler with the colours' conversion; the
        // CLI's own scaler to -s then has nothing left to do.
        std::string filters = deinterlaceFilter(v.picture);
        if (const std::string colours = colourFilters(v.picture, v.width, v.height);
            !colours.empty())
            filters += (filters.empty() ? "" : ",") + colours;
        if (!filters.empty()) add("-vf", filters);
        add("-c:v", "rv20");
        add("-s", std::to_string(v.width) + "x" + std::to_string(v.height));
        add("-sws_flags", "bicubic");
        add("-pix_fmt", "yuv420p");
        add("-r", v.fps);
        add("-b:v", v.bitRate);
        add("-bt", v.bitRate);
        add("-maxrate", v.maxRate);
        add("-bufsize", v.bufferSize);
        add("-g", v.gop);
        add("-bf", 0);
        add("-qmin", v.qmin);
        add("-qmax", v.qmax);
        for (const auto& [option, value] : videoEncoderOptions(v)) add("-" + option, value);
    } else {
        args.emplace_back("-vn");
    }
    if (plan.audio) {
        const AudioPlan& a = *plan.audio;
        add("-c:a", a.codec == Real144 ? "real_144" : "ac3");
        if (a.codec == Ac3) add("-b:a", a.bitRate);
        add("-ar", a.sampleRate);
        add("-ac", a.channels);
    } else {
        args.emplace_back("-an");
    }
    return args;
}

}  // namespace velmora::encoder
