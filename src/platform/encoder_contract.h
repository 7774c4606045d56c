#pragma once
// The encoder component's automation contract: the properties the window
// writes, the two operations it calls and the six notifications the component
// raises. The component validates every write against this table.

#include <array>
#include <cstdint>
#include <optional>

#include "engine/core/choices.h"
#include "engine/core/status.h"
#include "platform/automation.h"

namespace velmora::encoder {

// Properties (all write-only from the window's side).
namespace prop {
inline constexpr DispId Unnamed3151 = 3151;     // Long; accepted, no effect here
inline constexpr DispId InputFilename = 3152;   // String: the source file
inline constexpr DispId Unnamed3155 = 3155;     // Boolean; accepted, no effect here
inline constexpr DispId Unnamed3156 = 3156;     // Boolean; accepted, no effect here
inline constexpr DispId OutputFilename = 3203;  // String: the destination .rm file
inline constexpr DispId TempDirectory = 3204;   // String: scratch folder (used only if it helps)
inline constexpr DispId Target28KModem = 3401;
inline constexpr DispId Target56KModem = 3402;
inline constexpr DispId TargetSingleISDN = 3403;
inline constexpr DispId TargetDualISDN = 3404;
inline constexpr DispId TargetLAN = 3406;
inline constexpr DispId AudioContent = 3407;  // Long, see AudioContent below
inline constexpr DispId VideoQuality = 3408;  // Long, see VideoQuality below
inline constexpr DispId Target256KDSLCableModem = 3413;
inline constexpr DispId Target384KDSLCableModem = 3414;
inline constexpr DispId Target512KDSLCableModem = 3415;
}  // namespace prop

// Which audience each Target... property ticks.
struct AudienceProperty {
    DispId property;
    Audience audience;
};
inline constexpr AudienceProperty kAudienceProperties[] = {
    {prop::Target28KModem, Audience::Modem28K},
    {prop::Target56KModem, Audience::Modem56K},
    {prop::TargetSingleISDN, Audience::SingleIsdn},
    {prop::TargetDualISDN, Audience::DualIsdn},
    {prop::TargetLAN, Audience::Lan},
    {prop::Target256KDSLCableModem, Audience::Dsl256K},
    {prop::Target384KDSLCableModem, Audience::Dsl384K},
    {prop::Target512KDSLCableModem, Audience::Dsl512K},
};

inline std::optional<Audience> audienceForProperty(DispId property) {
    for (const auto& p : kAudienceProperties)
        if (p.property == property) return p.audience;
    return std::nullopt;
}

// Operations, no arguments.
namespace op {
inline constexpr DispId Start = 4301;
inline constexpr DispId Stop = 4302;
}  // namespace op

// Notifications, raised on the window's thread only. Each carries four
// arguments; their meaning per notification. A job makes one file per ticked
// audience: the destination named is the slowest audience's, the others lie
// beside it, and where an argument speaks of one file or one budget it is
// that named file's.
namespace event {
// Started: (String source, String destination, Long source duration in ms
// (0 when unknown), Long audience budget in kbps).
inline constexpr DispId Started = 5001;
// Progress: (Long encoded ms, Long source duration in ms, Long percentage
// 0-100, Long bytes written so far). Raised when the whole percentage changes.
inline constexpr DispId Progress = 5002;
// Completed: (String destination, Long bytes in the file, Long 100, Long
// encoded ms). The job ran to the end of the source.
inline constexpr DispId Completed = 5003;
// Stopped: (String destination, Long bytes in the file, Long percentage
// reached, Long encoded ms). A stop left a valid, shorter file.
inline constexpr DispId Stopped = 5004;
// Error: (Long error code, see errorCodeOf below, String message in
// Chinese, Long percentage reached, Long bytes in the named file when it
// stayed, else 0). No unfinished file is left; the files put at their names
// before a later one of the set failed to take its own (the named one
// first) stay, whole.
inline constexpr DispId Error = 5005;
// Statistics: (Long output kbps so far, Long budget kbps, Long speed as a
// multiple of real time x100, Long remaining ms, -1 when unknown).
inline constexpr DispId Statistics = 5006;
}  // namespace event

// The argument index of the percentage in Progress.
inline constexpr int kProgressPercentArg = 2;

// Error's code is the failure's ErrorKind, so a window can tell failures
// apart without reading the sentence; never 0, which is no failure.
inline std::int32_t errorCodeOf(ErrorKind kind) {
    return static_cast<std::int32_t>(kind == ErrorKind::None ? ErrorKind::Internal : kind);
}

struct Notification {
    DispId id = 0;
    std::array<Variant, 4> args;
};

}  // namespace velmora::encoder
