// The job's reader: the source's packets, with the timeline's gaps closed,
// decoded once for every file and handed to the encoders' queues.

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "engine/job/encode_job.h"
#include "engine/source/source_opening.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

void Engine::Job::readSource() {
    bool reachedEnd = false;
    Status s = readPackets(reachedEnd);
    if (s && !failed_) {
        if (videoIn_) s = reachedEnd ? videoIn_->drain(toVideo_) : videoIn_->finish(toVideo_);
        if (s && audioIn_) s = reachedEnd ? audioIn_->drain(toAudio_) : audioIn_->finish(toAudio_);
    }
    if (!s) fail(std::move(s));
    // For whoever measures the decoder's choice (bench/run).
    if (std::getenv("VELMORA_TRACE_DECODER") && !decoderThreads_.story().empty())
        std::fprintf(stderr, "velmora: decoder threads: %s", decoderThreads_.story().c_str());
    // A stop during the drain cut the held picture short as well.
    stoppedEarly_ = !reachedEnd || stopRequested_;
    for (auto* lanes : {&videoLanes_, &audioLanes_})
        for (auto& lane : *lanes) lane->frames->close();
}

Status Engine::Job::readPackets(bool& reachedEnd) {
    PacketPtr packet = makePacket();
    if (!packet) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    while (!stopRequested_ && !failed_) {
        const int ret = av_read_frame(source_.format.get(), packet.get());
        if (source_.format->pb) readBytes_ = avio_tell(source_.format->pb);
        // A stop, through the interrupt callback: whatever the demuxer made
        // of the read it gave up, the source did not end there.
        if (ret == AVERROR_EXIT || (ret < 0 && stopRequested_)) break;
        if (ret == AVERROR_EOF) {
            reachedEnd = true;
            break;
        }
        if (ret == AVERROR(EAGAIN)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        // Memory, not the source, ran out: no file short of it is complete.
        if (ret == AVERROR(ENOMEM)) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        if (ret < 0) {
            // Past the first packet a read error ends the source where it
            // is, as in the ffmpeg CLI; the summary says where.
            if (!timeline_.started()) {
                if (refusedAnotherFile())
                    return Status::fail(
                        ErrorKind::SourceRefused,
                        text::withSubject(text::kSourceReachesOut, settings_.source));
                return ffmpegFailure(text::kReadFailed, ret, ErrorKind::SourceUnreadable);
            }
            readErrorAt_ = timeline_.frontier() - timeline_.closedSeconds();
            reachedEnd = true;
            break;
        }
        Status s = Status::ok();
        if (packet->stream_index == source_.videoIndex ||
            packet->stream_index == source_.audioIndex)
            closeGaps(*packet);
        if (videoIn_ && packet->stream_index == source_.videoIndex) {
            s = videoIn_->sendPacket(*packet, toVideo_);
            chooseDecoderThreads();
        } else if (audioIn_ && packet->stream_index == source_.audioIndex)
            s = audioIn_->sendPacket(*packet, toAudio_);
        av_packet_unref(packet.get());
        if (!s) return s;
    }
    return Status::ok();
}

// After each video packet: the decoder's threads as the job shows them best.
void Engine::Job::chooseDecoderThreads() {
    ++videoPackets_;
    const double now = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    const int threads =
        decoderThreads_.observe(now, readerWaited_, videoPackets_, videoIn_->threads());
    if (threads >= 0) videoIn_->switchThreads(threads);
}

// Moves the packet's timestamps back by the gaps closed before it.
void Engine::Job::closeGaps(AVPacket& packet) {
    const AVRational tb = packet.stream_index == source_.videoIndex
                              ? source_.videoTimeBase
                              : source_.format->streams[packet.stream_index]->time_base;
    timeline_.close(packet.pts, packet.dts, packet.duration, av_q2d(tb), source_.startUs / 1e6,
                    AV_NOPTS_VALUE);
    gapMs_ = clampedMs(timeline_.closedSeconds());
}

}  // namespace velmora::encoder
