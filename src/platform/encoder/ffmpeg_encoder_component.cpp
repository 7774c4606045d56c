// The encoder component's face to the window: the contract's property table
// and operations, and the pane it shows in the window's rectangle. Running a
// job is in component_job.cpp, the plan before one in component_plan.cpp.
#include "platform/encoder/ffmpeg_encoder_component.h"

#include <QVBoxLayout>
#include <QWidget>

#include "platform/encoder/encoder_pane.h"
#include "texts/encoder_texts.h"

namespace velmora {

using namespace encoder;

namespace {

enum class Kind { Boolean, Long, String };

std::optional<Kind> kindOf(DispId id) {
    switch (id) {
        case prop::Unnamed3155:
        case prop::Unnamed3156:
            return Kind::Boolean;
        case prop::Unnamed3151:
        case prop::AudioContent:
        case prop::VideoQuality:
            return Kind::Long;
        case prop::InputFilename:
        case prop::OutputFilename:
        case prop::TempDirectory:
            return Kind::String;
        default:
            return audienceForProperty(id) ? std::optional(Kind::Boolean) : std::nullopt;
    }
}

bool hasKind(const Variant& value, Kind kind) {
    switch (kind) {
        case Kind::Boolean:
            return value.is(Variant::Type::Boolean);
        case Kind::Long:
            return value.is(Variant::Type::Long);
        case Kind::String:
            return value.is(Variant::Type::String);
    }
    return false;
}

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Boolean:
            return "Boolean";
        case Kind::Long:
            return "Long";
        case Kind::String:
            return "String";
    }
    return "?";
}

}  // namespace

std::pair<QString, int> slowestOf(const AudienceSet& audiences) {
    const auto audience = slowestAudience(audiences);
    if (!audience) return {QString(), 0};
    return {audienceName(*audience), profileOf(*audience).budgetKbps};
}

FfmpegEncoderComponent::FfmpegEncoderComponent(QObject* parent)
    : QObject(parent), reader_([this](const std::string& source, const SourceReading& reading) {
          sourceRead(source, reading);
      }) {
    quietFfmpegMessages();
    readDelay_.setSingleShot(true);
    readDelay_.setInterval(kReadDelayMs);
    connect(&readDelay_, &QTimer::timeout, this, [this] {
        if (!planSource_.empty()) reader_.read(planSource_);
    });
}

FfmpegEncoderComponent::~FfmpegEncoderComponent() {
    engine_.stopWithin(kLeavePatience);
}

Status FfmpegEncoderComponent::put(DispId id, const Variant& value) {
    const std::optional<Kind> kind = kindOf(id);
    if (!kind)
        return Status::fail(ErrorKind::BadRequest,
                            text::withReason(text::kUnknownId, std::to_string(id)));
    if (!hasKind(value, *kind))
        return Status::fail(ErrorKind::BadRequest,
                            text::withReason(text::kWrongType,
                                             text::withSubject(std::to_string(id), text::kNeeds) +
                                                 kindName(*kind) + text::kGot + value.describe()));

    if (const auto audience = audienceForProperty(id)) {
        next_.audiences.set(static_cast<std::size_t>(*audience), value.toBool());
        settingsChanged();
        return Status::ok();
    }
    switch (id) {
        case prop::InputFilename:
            next_.source = value.toUtf8();
            break;
        case prop::OutputFilename:
            next_.destination = value.toUtf8();
            break;
        case prop::TempDirectory:
            // Accepted and checked, not used: the temporary file lives beside
            // the destination so the final rename never crosses file systems.
            break;
        case prop::AudioContent:
        case prop::VideoQuality: {
            const std::int32_t v = value.toLong();
            if (v < 0 || v > 4)
                return Status::fail(
                    ErrorKind::BadRequest,
                    text::withReason(text::kOutOfRange,
                                     text::withSubject(std::to_string(id), std::to_string(v))));
            (id == prop::AudioContent ? next_.audioContent : next_.videoQuality) = v;
            settingsChanged();
            break;
        }
        default:
            break;  // 3151, 3155, 3156: accepted, nothing to do here
    }
    return Status::ok();
}

Status FfmpegEncoderComponent::invoke(DispId id) {
    if (id == op::Start) return start();
    if (id == op::Stop) {
        stop();
        return Status::ok();
    }
    return Status::fail(ErrorKind::BadRequest,
                        text::withReason(text::kUnknownId, std::to_string(id)));
}

void FfmpegEncoderComponent::attachView(QWidget* host) {
    if (!host) return;
    pane_ = new EncoderPane(host);
    if (!host->layout()) {
        auto* layout = new QVBoxLayout(host);
        layout->setContentsMargins(0, 0, 0, 0);
    }
    host->layout()->addWidget(pane_);
    connect(pane_, &EncoderPane::openFolderClicked, this, [this](const QString& folder) {
        if (links_.openFolder) links_.openFolder(folder);
    });
    showIdle();
    replan();
}

void FfmpegEncoderComponent::showFolderNotOpened(const QString& folder) {
    if (pane_) pane_->showFolderNotOpened(folder);
}

void FfmpegEncoderComponent::showIdle() {
    if (!pane_) return;
    const auto [name, budget] = slowestOf(next_.audiences);
    pane_->showIdle(name, budget);
}

// The next job's settings: the idle page shows them, and a summary of the
// last job gives way to them; a running job keeps its page.
void FfmpegEncoderComponent::settingsChanged() {
    if (!pane_) return;
    const auto [name, budget] = slowestOf(next_.audiences);
    pane_->setNextAudience(name, budget);
    replan();
}

}  // namespace velmora
