#pragma once
// What the audience boxes and the content lists mean to the encoder.

#include <QString>
#include <optional>

#include "platform/automation.h"

namespace velmora::options {

// The encoder property driven by check box CheckN (N = 1..8).
DispId audienceProperty(int checkNumber);

// The AudioContent value for the audio list's text; nothing for "没有音乐"
// or any text that is not one of the first four items.
std::optional<std::int32_t> audioContentFor(const QString& listText);

// The VideoQuality value for the video list's text.
std::optional<std::int32_t> videoQualityFor(const QString& listText);

}  // namespace velmora::options
