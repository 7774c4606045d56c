#include "platform/encoder/plan_text.h"

#include <QFileInfo>

#include "platform/encoder/encoder_pane.h"
#include "platform/qt_text.h"
#include "texts/encoder_texts.h"

namespace velmora {

using namespace encoder;

namespace {

// Hertz as kHz with the decimals it needs: 8, 44.1.
QString kiloHertz(int hertz) {
    return QString::number(hertz / 1000.0, 'g', 4);
}

QString pictureOf(const std::optional<VideoPlan>& video) {
    if (!video) return qs(text::kNoPicture);
    return qs(text::kPlanPicture).arg(video->width).arg(video->height).arg(video->fps);
}

QString soundOf(const std::optional<AudioPlan>& audio) {
    if (!audio) return qs(text::kPlanNoSound);
    return qs(text::kPlanSound)
        .arg(qs(audio->codec == AudioCodec::Real144 ? text::kPlanReal144 : text::kPlanAc3),
             kiloHertz(audio->sampleRate),
             qs(audio->channels > 1 ? text::kPlanStereo : text::kPlanMono));
}

// Where the picture is cut down hard (to a quarter of the source's pixels
// or fewer, or to half its frame rate or less), at the slowest audience,
// which cuts it most.
QString pictureNote(const JobInfo& info) {
    const JobInfo::File& slowest = info.files.front();
    const SourceShape& source = info.shape;
    if (!slowest.plan.video || !source.hasVideo || source.width <= 0 || source.height <= 0)
        return {};
    const VideoPlan& v = *slowest.plan.video;
    const bool smaller = static_cast<std::int64_t>(v.width) * v.height * 4 <=
                         static_cast<std::int64_t>(source.width) * source.height;
    const bool slower = source.frameRate > 0 && v.fps * 2 <= source.frameRate;
    if (!smaller && !slower) return {};
    return qs(text::kPlanNotePicture)
        .arg(source.width)
        .arg(source.height)
        .arg(QString::number(source.frameRate, 'g', 4), audienceName(slowest.audience))
        .arg(v.width)
        .arg(v.height)
        .arg(v.fps);
}

// Music chosen where the line carries only 8 kHz speech sound.
QString soundNote(const JobInfo& info, std::int32_t audioContent) {
    if (audioContent != Music && audioContent != StereoMusic) return {};
    QStringList audiences;
    for (const JobInfo::File& f : info.files)
        if (f.plan.audio && f.plan.audio->codec == AudioCodec::Real144)
            audiences << audienceName(f.audience);
    if (audiences.isEmpty()) return {};
    return qs(text::kPlanNoteSpeechSound)
        .arg(qs(audioContent == StereoMusic ? text::kPlanStereoMusic : text::kPlanMusic),
             audiences.join(qs(text::kPlanListSeparator)));
}

}  // namespace

QString audienceName(Audience audience) {
    const std::string_view name = profileOf(audience).name;
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

PlanText planText(const JobInfo& info, std::int32_t audioContent, std::int32_t videoQuality) {
    PlanText plan;
    const auto count = static_cast<int>(info.files.size());
    if (info.stillPicture)
        plan.heading = qs(text::kPlanHeadingStill).arg(count).arg(kStillPictureSeconds);
    else if (info.durationMs > 0)
        plan.heading = qs(text::kPlanHeading).arg(count).arg(clockText(info.durationMs));
    else
        plan.heading = qs(text::kPlanHeadingNoLength).arg(count);
    if (!info.destination.empty())
        plan.folder = QFileInfo(QString::fromStdString(info.destination)).absolutePath();
    for (const JobInfo::File& f : info.files) {
        plan.files.push_back(
            {QFileInfo(QString::fromStdString(f.destination)).fileName(), audienceName(f.audience),
             pictureOf(f.plan.video), soundOf(f.plan.audio),
             QStringLiteral("%1 kbps").arg(f.plan.budgetKbps),
             f.largestBytes > 0 ? qs(text::kPlanLargest).arg(qs(text::sizeText(f.largestBytes)))
                                : qs(text::kPlanSizeUnknown),
             f.largestBytes});
    }
    if (info.files.empty()) return plan;
    // Handed to the encoder as it is, but players and file managers go by the name.
    if (!info.destination.empty() &&
        QFileInfo(QString::fromStdString(info.destination))
                .suffix()
                .compare(QLatin1String("rm"), Qt::CaseInsensitive) != 0)
        plan.notes << qs(text::kPlanNoteNoExtension);
    for (const QString& note : {soundNote(info, audioContent), pictureNote(info)})
        if (!note.isEmpty()) plan.notes << note;
    if (const auto& video = info.files.front().plan.video) {
        if (video->picture.hdr()) plan.notes << qs(text::kPlanNoteHdr);
        if (video->picture.deinterlaced()) plan.notes << qs(text::kPlanNoteInterlaced);
    }
    if (!info.shape.hasVideo && videoQuality != NoVideo) plan.notes << qs(text::kPlanNoteNoPicture);
    if (!info.shape.hasAudio && audioContent != NoAudio) plan.notes << qs(text::kPlanNoteNoSound);
    return plan;
}

QString planTable(const PlanText& plan) {
    // A tooltip wraps rich text at a width of its own choosing; a row per line reads better.
    QString html = QStringLiteral(
                       "<html><head><style>p, th, td { white-space: nowrap; }</style></head>"
                       "<body><p><b>%1</b></p>")
                       .arg(plan.heading.toHtmlEscaped());
    if (!plan.folder.isEmpty())
        html += QStringLiteral("<p>%1</p>")
                    .arg(qs(text::kSummaryFolder).arg(plan.folder).toHtmlEscaped());
    html += QStringLiteral("<table cellspacing=\"0\" cellpadding=\"3\"><tr>");
    for (const char* column : {text::kTableFile, text::kTableAudience, text::kTablePicture,
                               text::kTableSound, text::kTableBudget, text::kTableLargest})
        html += QStringLiteral("<th align=\"left\">%1</th>").arg(qs(column));
    html += QStringLiteral("</tr>");
    for (const PlanFileText& f : plan.files) {
        html += QStringLiteral("<tr>");
        for (const QString* cell : {&f.name, &f.audience, &f.picture, &f.sound, &f.budget})
            html += QStringLiteral("<td>%1</td>").arg(cell->toHtmlEscaped());
        // The size without its "at most": the column says it.
        html +=
            QStringLiteral("<td align=\"right\">%1</td>")
                .arg(f.largestBytes > 0 ? qs(text::sizeText(f.largestBytes)) : qs(text::kUnknown));
        html += QStringLiteral("</tr>");
    }
    html += QStringLiteral("</table>");
    for (const QString& note : plan.notes)
        html += QStringLiteral("<p style=\"color: #a60\">%1</p>").arg(note.toHtmlEscaped());
    return html + QStringLiteral("</body></html>");
}

}  // namespace velmora
