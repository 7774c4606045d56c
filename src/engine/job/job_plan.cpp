// What a job would make of a source, before any job runs: the source's
// facts, and each file's plan. The job itself and the pane's plan both ask here.

#include <algorithm>
#include <cmath>
#include <string_view>

#include "engine/job/encode_job.h"
#include "engine/source/source_file.h"
#include "engine/stages/source_look.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace {

// A source of one picture and no sound: an image, or a clip of one frame.
bool singlePicture(const MediaSource& source) {
    if (source.videoIndex < 0 || source.audioIndex >= 0 || !source.format) return false;
    const std::string_view demuxer = source.format->iformat->name;
    // An image file's demuxers; an animated GIF and a stream of images hold more.
    if (demuxer == "image2" ||
        (demuxer.ends_with("_pipe") && demuxer != "gif_pipe" && demuxer != "image2pipe"))
        return true;
    if (source.format->streams[source.videoIndex]->nb_frames == 1) return true;
    // A clip that lasts a frame.
    return source.declaredMs > 0 && source.shape.frameRate > 0 &&
           source.declaredMs * source.shape.frameRate < 1500;
}

// What every file of a job may come to over `durationMs` (largestFileBytes).
std::int64_t largestBytes(const std::vector<JobInfo::File>& files, std::int64_t durationMs) {
    std::int64_t bytes = 0;
    for (const JobInfo::File& file : files) bytes += largestFileBytes(file.plan, durationMs);
    return bytes;
}

}  // namespace

Status checkSourceName(const std::string& source) {
    if (source.empty()) return Status::fail(ErrorKind::BadRequest, text::kNoSource);
    return Status::ok();
}

SourceFacts factsOf(const MediaSource& source) {
    return {source.shape, source.durationMs, singlePicture(source)};
}

Status readJobSource(const JobSettings& settings, SourceFacts& facts, bool* notAFile) {
    if (Status s = checkSourceName(settings.source); !s) return s;
    SourceInterrupt interrupt;
    interrupt.caller = settings.interrupted;
    if (notAFile) {
        SourceFile name;
        const int ret = name.open(settings.source, interruptCallback(&interrupt));
        *notAFile = ret == 0 && !name.regular() && !S_ISDIR(name.status().st_mode);
        if (*notAFile) return Status::ok();
    }
    MediaSource source;
    if (Status s = openMediaSource(settings.source, source, &interrupt); !s) return s;
    takeFirstLook(settings.source, source, &interrupt);
    facts = factsOf(source);
    return Status::ok();
}

Status planJob(const JobSettings& settings, const SourceFacts& facts, JobInfo& info) {
    const std::vector<JobFile> names = jobFiles(settings.destination, settings.audiences);
    if (names.empty()) return Status::fail(ErrorKind::BadRequest, text::kNoAudience);
    info.source = settings.source;
    info.destination = settings.destination;
    info.durationMs = facts.durationMs;
    info.shape = facts.shape;
    info.stillPicture = facts.stillPicture;
    // Each file is planned as a job for its audience alone would be.
    const std::int64_t playsMs =
        facts.stillPicture
            ? std::max<std::int64_t>(facts.durationMs, std::lround(kStillPictureSeconds * 1000))
            : facts.durationMs;
    info.files.clear();
    for (const JobFile& name : names) {
        const EncodePlan plan = planEncode(audienceSet({name.audience}), settings.audioContent,
                                           settings.videoQuality, facts.shape);
        if (!plan.video && !plan.audio)
            return Status::fail(ErrorKind::BadRequest, text::kNothingToEncode);
        info.files.push_back(
            {name.audience, name.destination, plan, largestFileBytes(plan, playsMs)});
    }
    info.plan = info.files.front().plan;
    info.largestBytes = largestBytes(info.files, playsMs);
    return Status::ok();
}

}  // namespace velmora::encoder
