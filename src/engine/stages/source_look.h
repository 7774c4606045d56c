#pragma once
// A first look at a source file before the plan is made: a few pictures
// spread over the file, each coded as a key frame and the frame after it at
// the finest quantiser. What that costs says whether the audience's line
// leaves room for a larger picture (a slide show, a still) or not (motion,
// grain). Only for a regular file, which the look can jump around in; a
// pipe's or a device's data is read once.

#include <string>

#include "engine/source/media_source.h"

namespace velmora::encoder {

// Places in the file that are looked at.
inline constexpr int kLookPlaces = 6;

// Fills the look's part of `source.shape`, `source` as openMediaSource
// leaves it; leaves it at 0 when the file cannot be looked at (not a regular
// file, too short, unknown length, no seeking, a stop).
void lookAtSource(const std::string& path, MediaSource& source,
                  const SourceInterrupt* interrupt = nullptr);

// The look, and then what it shows left out (leaveOutPictureless): what a
// job learns of an opened source before it plans.
void takeFirstLook(const std::string& path, MediaSource& source,
                   const SourceInterrupt* interrupt = nullptr);

}  // namespace velmora::encoder
