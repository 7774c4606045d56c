// The job's writers, one a file: its packets from its interleaver in time
// order into its writer; and the one percentage the job reports.

#include <algorithm>

#include "engine/job/encode_job.h"

namespace velmora::encoder {

// One file's writer: its packets in time order, on this thread.
void Engine::Job::write(File& file) {
    if (Status s = interleave(file); !s) fail(naming(std::move(s), &file));
}

Status Engine::Job::interleave(File& file) {
    for (;;) {
        auto item = file.packets->pop();
        if (failed_ || !item) return Status::ok();
        const std::size_t slot = item->first;
        Lane* lane = file.bySlot[slot];
        PacketPtr& packet = item->second;
        if (!lane->video && packet->pts != AV_NOPTS_VALUE &&
            av_rescale_q(packet->pts, lane->encoder->time_base, {1, 1'000'000}) >=
                file.pictureCutUs.load())
            continue;  // after the picture a stop cut short
        if (Status s = file.writer->writePacket(file.writerIndex[slot], *packet); !s) return s;
        ++file.packetsWritten;

        const AVPacket& p = *packet;
        // A video packet is one tick of 1/fps even when the encoder leaves its duration out.
        const std::int64_t ticks = p.duration > 0 ? p.duration : lane->video ? 1 : 0;
        const std::int64_t end = av_rescale_q(p.pts + ticks, lane->encoder->time_base, {1, 1000});
        file.encodedMs = std::max(file.encodedMs, end);
        file.encodedSoFar.store(file.encodedMs, std::memory_order_relaxed);
        file.bytesSoFar.store(file.writer->bytesWritten(), std::memory_order_relaxed);
        reportProgress();
    }
}

// One percentage for the job: how far the file furthest behind has come.
void Engine::Job::reportProgress() {
    std::int64_t encoded = -1;
    for (auto& file : files_) {
        const std::int64_t ms = file->encodedSoFar.load(std::memory_order_relaxed);
        if (encoded < 0 || ms < encoded) encoded = ms;
    }
    const std::int64_t duration =
        source_.durationMs > 0 ? std::max<std::int64_t>(source_.durationMs - gapMs_, 1) : 0;
    // Without a known length, how far the reader is into the file will do.
    const std::int64_t done = duration > 0 ? encoded : readBytes_.load();
    const std::int64_t whole = duration > 0 ? duration : sourceBytes_;
    const int percent =
        whole > 0 ? static_cast<int>(std::clamp<std::int64_t>(done * 100 / whole, 0, 99)) : 0;
    std::lock_guard lock(progressMutex_);
    if (percent <= percent_) return;  // another writer got there first
    percent_ = percent;
    const File& named = *files_.front();
    const JobProgress progress{encoded,
                               duration,
                               percent,
                               named.bytesSoFar.load(std::memory_order_relaxed),
                               elapsedMs(),
                               named.plan.budgetKbps,
                               static_cast<int>(files_.size())};
    tell([&](JobObserver& o) { o.jobProgress(progress); });
}

}  // namespace velmora::encoder
