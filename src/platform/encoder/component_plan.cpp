// The plan the pane shows before a job: the names in the window's two text
// boxes, the source read on a thread of its own, and planJob's answer.
#include <QLineEdit>

#include "platform/encoder/encoder_pane.h"
#include "platform/encoder/ffmpeg_encoder_component.h"
#include "texts/encoder_texts.h"

namespace velmora {

using namespace encoder;

void FfmpegEncoderComponent::linkView(const ViewLinks& links) {
    links_ = links;
    if (links_.source)
        connect(links_.source, &QLineEdit::textChanged, this,
                &FfmpegEncoderComponent::sourceNameChanged);
    if (links_.destination)
        connect(links_.destination, &QLineEdit::textChanged, this, [this] {
            if (pane_) pane_->showNext();
            replan();
        });
    sourceNameChanged();
}

// Read once the name stands: typing a path asks for one read, not one a key.
void FfmpegEncoderComponent::sourceNameChanged() {
    planSource_ = links_.source ? links_.source->text().toStdString() : std::string();
    planRead_.reset();
    reader_.cancel();
    if (planSource_.empty())
        readDelay_.stop();
    else
        readDelay_.start();
    if (pane_) pane_->showNext();
    replan();
}

void FfmpegEncoderComponent::sourceRead(const std::string& source, const SourceReading& reading) {
    if (source != planSource_) return;
    planRead_ = reading;
    replan();
}

// Nothing is written to the component here: the plan is made from the boxes'
// names and the choices the next start will use, by the planner the job uses.
void FfmpegEncoderComponent::replan() {
    if (!pane_) return;
    using State = PanePlan::State;
    PanePlan plan;
    if (planSource_.empty()) {
        plan.state = State::NoSource;
    } else if (!planRead_) {
        plan.state = State::Reading;
    } else if (planRead_->kind == SourceReading::Kind::NotRegular) {
        plan.state = State::NotRegular;
    } else if (planRead_->kind == SourceReading::Kind::Failed) {
        plan.state = State::Refused;
        plan.message = planRead_->message;
    } else {
        JobSettings job = next_;
        job.source = planSource_;
        job.destination =
            links_.destination ? links_.destination->text().toStdString() : std::string();
        if (job.destination.empty()) job.destination = text::kPlanUnnamed;
        JobInfo info;
        if (const Status s = planJob(job, planRead_->facts, info); !s) {
            plan.state = State::Refused;
            plan.message = QString::fromStdString(s.message());
        } else {
            // Files named after the placeholder go nowhere yet.
            if (links_.destination && links_.destination->text().isEmpty())
                info.destination.clear();
            plan.state = State::Ready;
            plan.text = planText(info, job.audioContent, job.videoQuality);
        }
    }
    pane_->setPlan(plan);
}

}  // namespace velmora
