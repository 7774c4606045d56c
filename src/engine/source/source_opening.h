#pragma once
// Opening the source safely, for media_source: the one file the user named,
// read-only, and nothing a demuxer would read beside it (a playlist's
// segments, a list's entries, a manifest's pieces); a FIFO, socket or device
// opened without blocking.

#include <memory>
#include <string>

#include "engine/source/media_source.h"
#include "engine/source/source_file.h"

namespace velmora::encoder {

// avformat_open_input for `url` that reads that one file and nothing else:
// "file:..." read through `file`, which has opened it, or "pipe:N" (`file`
// null). Fails with `refused` set when the source is a playlist or list of
// other files; `raw` is freed then.
int openOneFile(AVFormatContext*& raw, const std::string& url, std::unique_ptr<SourceFile> file,
                bool& refused);

// A FIFO, a socket or a device may have nothing to say for a long time; a
// plain open() and read() of one would block where no stop reaches. Such a
// source is opened without blocking and handed to FFmpeg as a pipe, whose
// reads then wait in steps that check the stop flag. Returns the URL to
// open, or "" with `status` set; `owned` takes the descriptor, which
// FFmpeg's pipe reader never closes.
std::string pipeUrl(const std::string& path, const SourceInterrupt* interrupt, Status& status,
                    OwnedDescriptor& owned);

// True once, on the thread that reads a source, after its demuxer asked for
// another file mid-way (and was refused): the read's EPERM is that refusal,
// not the system's.
bool refusedAnotherFile();

// The user's words for a source that FFmpeg or the system could not open.
Status unreadableSource(const std::string& path, int code);

}  // namespace velmora::encoder
