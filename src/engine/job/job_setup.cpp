// Before a job runs: its source opened, its files named and planned, an
// encoder lane per file's picture and per distinct sound, and every file
// claimed and begun.

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "engine/job/encode_job.h"
#include "engine/output/destination_registry.h"
#include "engine/output/source_tags.h"
#include "engine/stages/source_look.h"
#include "texts/encoder_texts.h"

extern "C" {
#include <libavutil/cpu.h>
}

namespace velmora::encoder {

namespace {

// Enough to keep an encoder busy while the reader decodes the next packet;
// small enough that a stop is quick.
constexpr std::size_t kVideoQueueFrames = 8;
constexpr std::size_t kAudioQueueFrames = 64;
// Encoded packets waiting per stream for the other stream to catch up.
constexpr std::size_t kPacketsPerStream = 32;
// What those may weigh in all when one stream's packets must wait for a
// stream stored far away in the source (seconds of video at the largest
// audience are a few hundred KB).
constexpr std::size_t kWaitingPacketBytes = 16 << 20;

}  // namespace

Status Engine::Job::prepare(JobInfo& info) {
    try {
        return open(info);
    } catch (const std::bad_alloc&) {
        return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    }
}

Status Engine::Job::open(JobInfo& info) {
    if (Status s = checkSourceName(settings_.source); !s) return s;
    interrupt_.stop = &stopRequested_;
    interrupt_.caller = settings_.interrupted;
    if (Status s = openSource(); !s) return s;
    decoderThreads_ = DecoderThreadsChoice(av_cpu_count(), source_.lookDecodeMs);
    // For whoever measures each way on its own (bench/run): "1" keeps the
    // decoder on the reader's thread, "frames" on frame threads.
    if (const char* pin = std::getenv("VELMORA_DECODER_THREADS")) {
        if (std::string_view(pin) == "1") decoderThreads_.pin(1);
        if (std::string_view(pin) == "frames") decoderThreads_.pin(decoderThreads_.frameThreads());
    }
    if (Status s = planFiles(info); !s) return s;
    if (Status s = openLanes(); !s) return s;
    if (Status s = openFiles(); !s) return s;
    if (Status s = openPreview(); !s) return s;
    if (Status s = beginFiles(); !s) return s;

    timeline_.declare(source_.declaredMs / 1000.0);
    const AVFormatContext* format = source_.format.get();
    sourceBytes_ = format->pb ? std::max<std::int64_t>(avio_size(format->pb), 0) : 0;
    info.freeBytes = freeBytesBeside(settings_.destination);
    startTime_ = Clock::now();
    return Status::ok();
}

// The job's files named, checked and each planned as planJob plans it.
Status Engine::Job::planFiles(JobInfo& info) {
    const std::vector<JobFile> names = jobFiles(settings_.destination, settings_.audiences);
    if (names.empty()) return Status::fail(ErrorKind::BadRequest, text::kNoAudience);
    if (Status s = checkJobFiles(settings_.source, names); !s) return s;
    if (!settings_.makeWriter) return Status::fail(ErrorKind::Internal, text::kEncodeFailed);

    if (Status s = planJob(settings_, factsOf(source_), info); !s) return s;
    for (const JobInfo::File& planned : info.files) {
        auto file = std::make_unique<File>();
        file->name = {planned.audience, planned.destination};
        file->plan = planned.plan;
        files_.push_back(std::move(file));
    }
    return Status::ok();
}

// The encoders and the converters that feed them, and the reader's way into
// each lane's queue.
Status Engine::Job::openLanes() {
    if (files_.front()->plan.video) {
        if (Status s = openVideoLanes(); !s) return s;
    }
    if (files_.front()->plan.audio) {
        if (Status s = openAudioLanes(); !s) return s;
    }
    for (auto* lanes : {&videoLanes_, &audioLanes_}) {
        std::vector<FrameSink>& sinks = lanes == &videoLanes_ ? toVideo_ : toAudio_;
        for (auto& lane : *lanes)
            sinks.push_back([this, queue = lane->frames.get()](FramePtr f) {
                // How long the reader waits for the encoders tells the
                // decoder's threads (readSource).
                const Clock::time_point start = Clock::now();
                const bool pushed = queue->push(std::move(f));
                readerWaited_ += std::chrono::duration<double>(Clock::now() - start).count();
                return pushed;
            });
    }
    return Status::ok();
}

// The fastest audience's picture, decoded for the preview: the one that
// shows the most.
Status Engine::Job::openPreview() {
    if (!settings_.preview || videoLanes_.empty()) return Status::ok();
    watchedLane_ = videoLanes_.back().get();
    previewDecoder_ = std::make_unique<PreviewDecoder>();
    return previewDecoder_->open(*watchedLane_->encoder);
}

// The source opened and looked at: only a file can be looked at ahead, a
// pipe's data is read once.
Status Engine::Job::openSource() {
    if (Status s = openMediaSource(settings_.source, source_, &interrupt_); !s) return s;
    if (!source_.regularFile) return Status::ok();
    lookAtSource(settings_.source, source_, &interrupt_);
    leaveOutPictureless(settings_.source, source_, &interrupt_);
    return Status::ok();
}

// A video encoder per file, and the source's decoder, on the threads the
// first look suggests until the running job shows others to be faster
// (readSource).
Status Engine::Job::openVideoLanes() {
    std::vector<int> rates;
    for (auto& file : files_) {
        const VideoPlan& video = *file->plan.video;
        auto lane = std::make_unique<Lane>();
        if (Status s = openVideoEncoder(video, lane->encoder); !s) return naming(s, file.get());
        lane->frames = std::make_unique<FrameQueue>(kVideoQueueFrames);
        lane->scaler = std::make_unique<VideoScaler>(source_.orientation, video.picture);
        lane->video = &video;
        lane->feeds.push_back({file.get(), 0});
        rates.push_back(video.fps);
        videoLanes_.push_back(std::move(lane));
    }
    videoIn_ = std::make_unique<VideoConverter>();
    return videoIn_->open(*source_.format->streams[source_.videoIndex], source_.videoTimeBase,
                          std::move(rates), source_.startUs, decoderThreads_.first(),
                          &stopRequested_, deinterlaceFilter(files_.front()->plan.video->picture));
}

// Files whose sound is alike share one encoder and its packets.
Status Engine::Job::openAudioLanes() {
    std::vector<const AVCodecContext*> encoders;
    std::vector<const AudioPlan*> sounds;
    for (auto& file : files_) {
        const AudioPlan& audio = *file->plan.audio;
        std::size_t i = 0;
        while (i < sounds.size() && !(*sounds[i] == audio)) ++i;
        if (i == sounds.size()) {
            auto lane = std::make_unique<Lane>();
            if (Status s = openAudioEncoder(audio, lane->encoder); !s) return s;
            lane->frames = std::make_unique<FrameQueue>(kAudioQueueFrames);
            encoders.push_back(lane->encoder.get());
            sounds.push_back(&audio);
            audioLanes_.push_back(std::move(lane));
        }
        audioLanes_[i]->feeds.push_back({file.get(), 0});
    }
    audioIn_ = std::make_unique<AudioConverter>();
    return audioIn_->open(*source_.format->streams[source_.audioIndex], encoders, source_.startUs);
}

// Each file's writer, its streams (the rm muxer wants the video first) and
// the interleaver between its encoders and it.
Status Engine::Job::openFiles() {
    for (auto& file : files_) {
        file->writer = settings_.makeWriter();
        if (!file->writer) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        std::size_t streams = 0;
        for (auto* lanes : {&videoLanes_, &audioLanes_}) {
            for (auto& lane : *lanes) {
                for (auto& [fed, slot] : lane->feeds) {
                    if (fed != file.get()) continue;
                    CodecParametersPtr params = makeCodecParameters();
                    if (!params) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
                    // It fails only where it cannot copy the codec's data.
                    if (const int ret =
                            avcodec_parameters_from_context(params.get(), lane->encoder.get());
                        ret < 0)
                        return ffmpegFailure(text::kEncodeFailed, ret, ErrorKind::Internal);
                    const AVRational tb = lane->encoder->time_base;
                    if (Status s = file->writer->addStream(*params, tb.num, tb.den,
                                                           file->writerIndex[streams]);
                        !s)
                        return naming(s, file.get());
                    file->bySlot[streams] = lane.get();
                    slot = streams++;
                }
            }
        }
        file->packets =
            std::make_unique<PacketInterleaver>(streams, kPacketsPerStream, kWaitingPacketBytes);
    }
    return Status::ok();
}

// Nothing is written until every destination is claimed and begun.
Status Engine::Job::beginFiles() {
    for (auto& file : files_) {
        file->ticket = DestinationRegistry::instance().claim(file->name.destination);
        Status s = file->temp.create(file->name.destination);
        if (s) {
            s = file->writer->begin(file->temp.path(),
                                    fileTags(settings_.metadata, *source_.format,
                                             {source_.videoIndex, source_.audioIndex}));
            file->begun = true;
        }
        if (!s) {
            for (auto& f : files_) {
                if (f->begun) f->writer->finish();
                f->temp.discard();
            }
            return naming(s, file.get());
        }
    }
    return Status::ok();
}

}  // namespace velmora::encoder
