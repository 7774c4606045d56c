#pragma once
// The words a file carries (title, author, copyright, comment): what the
// user gave, else what the source says of itself.

#include "engine/core/ffmpeg_ptr.h"
#include "engine/core/media_writer.h"

namespace velmora::encoder {

// Each field `given` sets wins; the rest come from the source's container,
// else from the streams the job encodes (`streams`, -1 for none), in that
// order: its artist is the author, a description stands in for a missing
// comment. A text that is not UTF-8 is left out rather than garbled, and
// each is cut at a character to what readers of the format keep. Nothing is
// made up where the source says nothing.
MediaMetadata fileTags(const MediaMetadata& given, const AVFormatContext& source,
                       std::initializer_list<int> streams);

}  // namespace velmora::encoder
