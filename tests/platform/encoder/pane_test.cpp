#include <gtest/gtest.h>

#include <QColor>
#include <QDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTextDocument>
#include <cstring>

#include "engine/core/ffmpeg_ptr.h"
#include "engine/output/preview.h"
#include "platform/encoder/encoder_pane.h"
#include "platform/qt_text.h"
#include "texts/encoder_texts.h"

namespace velmora {
namespace {

TEST(PaneFigures, FromRunningTotals) {
    // 20 s of a 60 s source in 10 s of wall time, 50 000 bytes written.
    const JobFigures f = jobFigures(20'000, 60'000, 10'000, 50'000);
    EXPECT_DOUBLE_EQ(f.speed, 2.0);
    EXPECT_EQ(f.remainingMs, 20'000);
    EXPECT_EQ(f.kbps, 20);
    // Nothing written yet, or no known length: nothing to divide by.
    const JobFigures start = jobFigures(0, 60'000, 300, 1000);
    EXPECT_EQ(start.remainingMs, -1);
    EXPECT_EQ(start.kbps, 0);
    EXPECT_EQ(jobFigures(5'000, 0, 1'000, 0).remainingMs, -1);
    EXPECT_EQ(jobFigures(61'000, 60'000, 1'000, 0).remainingMs, 0);
}

TEST(PaneFigures, SizeText) {
    using encoder::text::sizeText;
    EXPECT_EQ(sizeText(0), "0 B");
    EXPECT_EQ(sizeText(1023), "1023 B");
    EXPECT_EQ(sizeText(1536), "1.5 KB");
    EXPECT_EQ(sizeText(3 * 1024 * 1024 + 300 * 1024), "3.3 MB");
}

TEST(PaneFigures, ClockText) {
    EXPECT_EQ(clockText(0), "00:00");
    EXPECT_EQ(clockText(59'999), "00:59");
    EXPECT_EQ(clockText(61'000), "01:01");
    EXPECT_EQ(clockText(3'725'000), "1:02:05");
    EXPECT_EQ(clockText(-5), "00:00");
}

TEST(EncoderPane, PicturesKeepTheirColoursAndSize) {
    encoder::FramePtr frame = encoder::makeFrame();
    frame->width = 40;
    frame->height = 30;
    frame->format = AV_PIX_FMT_YUV420P;
    ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    // Pure red in BT.601 limited range.
    for (int y = 0; y < 30; ++y) std::memset(frame->data[0] + y * frame->linesize[0], 81, 40);
    for (int y = 0; y < 15; ++y) {
        std::memset(frame->data[1] + y * frame->linesize[1], 90, 20);
        std::memset(frame->data[2] + y * frame->linesize[2], 240, 20);
    }
    const QImage image = pictureOf(frame.get());
    ASSERT_EQ(image.size(), QSize(40, 30));
    EXPECT_EQ(pictureOf(frame.get(), QSize(100, 40)).size(), QSize(53, 40));
    const QColor c = image.pixelColor(20, 15);
    EXPECT_GT(c.red(), 220);
    EXPECT_LT(c.green(), 40);
    EXPECT_LT(c.blue(), 40);
    EXPECT_TRUE(pictureOf(nullptr).isNull());
}

TEST(EncoderPane, ShowsWhatThePreviewHoldsAndGoesBackToIdle) {
    QWidget host;
    host.resize(425, 153);
    auto* pane = new EncoderPane(&host);
    pane->resize(425, 153);
    host.show();
    auto preview = std::make_shared<encoder::JobPreview>();
    encoder::PreviewFrames pair;
    for (encoder::FramePtr* f : {&pair.source, &pair.output}) {
        *f = encoder::makeFrame();
        (*f)->width = 160;
        (*f)->height = 120;
        (*f)->format = AV_PIX_FMT_YUV420P;
        ASSERT_GE(av_frame_get_buffer(f->get(), 0), 0);
    }
    preview->frames.put(std::move(pair));
    pane->startJob(preview, {.budgetKbps = 34});
    pane->showJob(50);
    // 30 s of a 60 s source in 15 s at 34 kbps, as the component's Statistics bring them.
    pane->showFigures(jobFigures(30'000, 60'000, 15'000, 30'000 * 34 / 8));

    auto* source = host.findChild<PictureView*>("encoderSourcePicture");
    auto* output = host.findChild<PictureView*>("encoderOutputPicture");
    ASSERT_TRUE(source && output);
    ASSERT_FALSE(source->picture().isNull());
    // Side by side at the same scale (the views may differ by a pixel).
    EXPECT_NEAR(output->picture().width(), source->picture().width(), 2);
    EXPECT_NEAR(output->picture().height(), source->picture().height(), 2);
    // Fitted to the view with the frame's 4:3 kept.
    EXPECT_NEAR(source->picture().width() * 3.0 / source->picture().height(), 4.0, 0.1);
    EXPECT_TRUE(source->picture().width() == source->width() ||
                source->picture().height() == source->height());
    auto* bitRate = host.findChild<QLabel*>("encoderBitRate");
    auto* spaceShort = host.findChild<QLabel*>("encoderSpaceShort");
    EXPECT_TRUE(bitRate->text().contains("34/34 kbps"));
    EXPECT_FALSE(bitRate->text().contains("个文件")) << "one file: no count";
    EXPECT_FALSE(spaceShort->isVisibleTo(&host));
    EXPECT_TRUE(host.findChild<QLabel*>("encoderSpeed")->text().contains("2.0 倍实时"));
    EXPECT_TRUE(host.findChild<QLabel*>("encoderRemaining")->text().endsWith(" 00:15"));
    EXPECT_EQ(preview->frames.take(), std::nullopt) << "the pane took the pair";

    // Several files: the one line of figures counts them; a folder short of
    // space is said, and the job goes on showing.
    pane->startJob(preview, {.budgetKbps = 34, .files = 3, .spaceShort = true});
    EXPECT_TRUE(bitRate->text().contains(" 0/34 kbps")) << "no figures of the job before";
    pane->showFigures(jobFigures(30'000, 60'000, 15'000, 30'000 * 34 / 8));
    EXPECT_TRUE(bitRate->text().contains("34/34 kbps（共 3 个文件）"))
        << bitRate->text().toStdString();
    EXPECT_TRUE(spaceShort->isVisibleTo(&host));
    EXPECT_TRUE(bitRate->isVisibleTo(&host));

    pane->showIdle(QStringLiteral("56K"), 34);
    EXPECT_TRUE(source->picture().isNull()) << "an idle pane holds no job's pictures";
    EXPECT_TRUE(host.findChild<QLabel*>("encoderBudget")->text().contains("34 kbps"));
}

// After a job the pane tells what was made until the next start or a change
// of settings; a change of settings during a job leaves the job's page.
TEST(EncoderPane, KeepsASummaryOfTheJobUntilTheSettingsChange) {
    QWidget host;
    auto* pane = new EncoderPane(&host);
    host.show();
    const auto label = [&](const char* name) { return host.findChild<QLabel*>(name); };
    const auto shown = [&](const char* name) { return label(name)->isVisibleTo(&host); };

    pane->startJob(std::make_shared<encoder::JobPreview>(), {.budgetKbps = 34});
    pane->setNextAudience(QStringLiteral("28K"), 16);
    EXPECT_TRUE(host.findChild<PictureView*>("encoderSourcePicture")->isVisibleTo(&host));

    struct Case {
        JobSummary summary;
        const char* title;
        const char* figures;
        bool overBudget;
    };
    // A whole file, as after a completed job or a set whose later file failed.
    const FileSummary whole{"样片.rm", "56K", 240'000, 240'000 * 30 / 8, 34, 1'450};
    const char* wholeFigures = "时长 04:00　大小 878.9 KB　平均码率 30/34 kbps　预缓冲 1.5 秒";
    for (const Case& c : {
             Case{{JobSummary::Ended::Completed, "/媒体", {whole}, ""},
                  "压缩完成",
                  wholeFigures,
                  false},
             Case{{JobSummary::Ended::Stopped,
                   "/媒体",
                   {{"part.rm", "56K", 61'000, 61'000 * 40 / 8, 34, 901}},
                   "源文件在 00:59 处损坏，已跳过"},
                  "已停止，已压缩的部分已保存",
                  "时长 01:01　大小 297.9 KB　平均码率 40/34 kbps　预缓冲 1.0 秒",
                  true},
             // A set's later file failed; the named one had taken its name.
             Case{{JobSummary::Ended::Failed, "/媒体", {whole}, ""},
                  "出错，已完成的文件已保存",
                  wholeFigures,
                  false},
         }) {
        SCOPED_TRACE(c.title);
        pane->showSummary(c.summary);
        EXPECT_EQ(label("encoderSummaryTitle")->text(), c.title);
        EXPECT_EQ(label("encoderSummaryFile")->text(), c.summary.files[0].fileName);
        EXPECT_EQ(label("encoderSummaryFigures")->text(), c.figures);
        EXPECT_EQ(label("encoderSummaryFigures")->styleSheet().contains("#b00"), c.overBudget);
        EXPECT_EQ(shown("encoderSummaryWarning"), !c.summary.warning.isEmpty());
        EXPECT_EQ(label("encoderSummaryWarning")->text(), c.summary.warning);
        EXPECT_FALSE(shown("encoderBudget"));
        EXPECT_FALSE(shown("encoderSummaryHint"));
        EXPECT_TRUE(host.findChild<QWidget*>("encoderSummary")->toolTip().isEmpty());
    }
    pane->setNextAudience(QStringLiteral("56K"), 34);
    EXPECT_FALSE(shown("encoderSummaryFile"));
    EXPECT_TRUE(shown("encoderBudget"));
    EXPECT_TRUE(label("encoderBudget")->text().contains("56K"));
}

// Several files are summed up on the page (count, total, folder); the
// tooltip holds one row per file.
TEST(EncoderPane, SumsUpSeveralFilesAndListsThemInTheTooltip) {
    QWidget host;
    host.resize(425, 153);
    auto* pane = new EncoderPane(&host);
    pane->resize(425, 153);
    host.show();
    const JobSummary summary{JobSummary::Ended::Completed,
                             "/媒体/讲座",
                             {{"讲座.rm", "56K", 240'000, 900'000, 34, 1'450, 176, 132},
                              {"讲座-512k.rm", "512K", 240'000, 15'000'000, 450, 901, 320, 240},
                              {"Q&A-lan.rm", "局域网", 240'000, 9'000'000, 150, 0, 0, 0}},
                             ""};
    pane->showSummary(summary);
    const auto label = [&](const char* name) { return host.findChild<QLabel*>(name)->text(); };
    EXPECT_EQ(label("encoderSummaryTitle"), "压缩完成");
    EXPECT_EQ(label("encoderSummaryFile"), "共 3 个文件　总大小 23.7 MB　时长 04:00");
    EXPECT_EQ(label("encoderSummaryFigures"), "保存在 /媒体/讲座");
    EXPECT_TRUE(host.findChild<QLabel*>("encoderSummaryHint")->isVisibleTo(&host));

    // The table as a reader sees it: one line per cell; the keyboard reaches
    // it through 详情…, in the same window as the plan's.
    auto* details = host.findChild<QPushButton*>("encoderSummaryDetailsButton");
    ASSERT_TRUE(details->isVisibleTo(&host));
    EXPECT_TRUE(details->focusPolicy() & Qt::TabFocus);
    details->click();
    auto* window = pane->findChild<QDialog*>("planDetails");
    ASSERT_TRUE(window && window->isVisible());
    EXPECT_EQ(window->windowTitle(), "压缩结果");
    EXPECT_EQ(window->findChild<QLabel*>("planDetailsTable")->text(),
              host.findChild<QWidget*>("encoderSummary")->toolTip());
    QTextDocument table;
    table.setHtml(host.findChild<QWidget*>("encoderSummary")->toolTip());
    const QStringList cells = table.toPlainText().split('\n', Qt::SkipEmptyParts);
    const QStringList rows[] = {
        {"讲座.rm", "56K", "878.9 KB", "30/34 kbps", "176×132", "1.5 秒"},
        {"讲座-512k.rm", "512K", "14.3 MB", "500/450 kbps", "320×240", "1.0 秒"},
        {"Q&A-lan.rm", "局域网", "8.6 MB", "300/150 kbps", "无画面", "0.0 秒"},
    };
    EXPECT_TRUE(cells.contains("保存在 /媒体/讲座"));
    for (const QStringList& row : rows) {
        const qsizetype at = cells.indexOf(row[0]);
        ASSERT_GE(at, 0) << row[0].toStdString() << " missing from "
                         << table.toPlainText().toStdString();
        EXPECT_EQ(cells.mid(at, row.size()), row);
    }

    // A folder no program could open is shown to be copied, until the next summary.
    auto* notOpened = host.findChild<QLabel*>("encoderFolderNotOpened");
    EXPECT_FALSE(notOpened->isVisibleTo(&host));
    pane->showFolderNotOpened("/媒体/讲座");
    ASSERT_TRUE(notOpened->isVisibleTo(&host));
    EXPECT_EQ(notOpened->text(), "没有可以打开文件夹的程序\n/媒体/讲座");
    EXPECT_TRUE(notOpened->textInteractionFlags() & Qt::TextSelectableByKeyboard);

    // One file again: its own figures, no table, and the details window goes.
    pane->showSummary({JobSummary::Ended::Completed, "/媒体/讲座", {summary.files[0]}, ""});
    EXPECT_EQ(label("encoderSummaryFile"), "讲座.rm");
    EXPECT_TRUE(host.findChild<QWidget*>("encoderSummary")->toolTip().isEmpty());
    EXPECT_FALSE(host.findChild<QLabel*>("encoderSummaryHint")->isVisibleTo(&host));
    EXPECT_FALSE(details->isVisibleTo(&host));
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(notOpened->isVisibleTo(&host));
}

// The plan before a job: the slowest and the fastest file on the page, every
// file in the table, and in plain words what an audience cannot keep.
TEST(EncoderPane, ShowsThePlanAndWhatTheChoicesCannotKeep) {
    QWidget host;
    host.resize(425, 153);
    auto* pane = new EncoderPane(&host);
    pane->resize(425, 153);
    host.show();
    const auto label = [&](const char* name) { return host.findChild<QLabel*>(name); };
    QSignalSpy folders(pane, &EncoderPane::openFolderClicked);

    encoder::SourceFacts facts;
    facts.shape = {.hasVideo = true,
                   .hasAudio = true,
                   .width = 1920,
                   .height = 1080,
                   .channels = 2,
                   .durationMs = 60'000,
                   .frameRate = 25};
    facts.durationMs = 60'000;
    encoder::JobSettings job;
    job.source = "/媒体/源.mp4";
    // A name far wider than the pane: shortened in its middle, the pane keeps its size.
    const std::string stem = "讲座" + std::string(120, 'x');
    job.destination = "/媒体/" + stem + ".rm";
    job.audiences = encoder::audienceSet(
        {encoder::Audience::Modem28K, encoder::Audience::Dsl256K, encoder::Audience::Dsl512K});
    job.audioContent = encoder::StereoMusic;
    encoder::JobInfo info;
    ASSERT_TRUE(encoder::planJob(job, facts, info));
    pane->setPlan({PanePlan::State::Ready, {}, planText(info, job.audioContent, job.videoQuality)});

    ASSERT_TRUE(host.findChild<QWidget*>("encoderPlan")->isVisible());
    EXPECT_EQ(pane->size(), QSize(425, 153));
    EXPECT_EQ(label("encoderPlanHeading")->text(), "将生成 3 个文件　源文件时长 01:00");
    const auto lines =
        host.findChildren<QLabel*>(QRegularExpression("^encoderPlan(File|Settings)$"));
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[0]->text().startsWith("28K 调制解调器　讲座x"));
    EXPECT_TRUE(lines[0]->text().contains("…")) << lines[0]->text().toStdString();
    EXPECT_TRUE(lines[0]->text().endsWith("　至多约 " +
                                          qs(encoder::text::sizeText(info.files[0].largestBytes))));
    EXPECT_LE(lines[0]->fontMetrics().horizontalAdvance(lines[0]->text()), pane->width());
    EXPECT_EQ(lines[1]->text(), "128×72，每秒 3 帧　RealAudio 14.4 8 kHz 单声道　20 kbps");
    EXPECT_TRUE(lines[2]->text().startsWith("512K DSL/有线调制解调器　讲座x"));
    EXPECT_TRUE(lines[3]->text().contains("AC-3 44.1 kHz 立体声　450 kbps"));
    EXPECT_EQ(label("encoderPlanMore")->text(), "另有 1 个文件，点“详情”查看");
    EXPECT_EQ(label("encoderPlanNotes")->text(),
              "立体声音乐在 28K 调制解调器 上只能是 8 kHz 单声道的语音音质；"
              "1920×1080、每秒 25 帧的画面在 28K 调制解调器 上只有 128×72、每秒 3 帧");

    // The table, as a reader sees it: a row per file, in the window the
    // button opens and in the tooltip.
    host.findChild<QPushButton*>("encoderPlanDetailsButton")->click();
    auto* details = pane->findChild<QDialog*>("planDetails");
    ASSERT_TRUE(details && details->isVisible());
    const QString html = details->findChild<QLabel*>("planDetailsTable")->text();
    EXPECT_EQ(html, host.findChild<QWidget*>("encoderPlan")->toolTip());
    QTextDocument table;
    table.setHtml(html);
    const QStringList cells = table.toPlainText().split('\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(cells.contains("保存在 /媒体"));
    for (std::size_t i = 0; i < info.files.size(); ++i) {
        const QString name =
            QFileInfo(QString::fromStdString(info.files[i].destination)).fileName();
        const qsizetype at = cells.indexOf(name);
        ASSERT_GE(at, 0) << name.toStdString();
        const auto& video = *info.files[i].plan.video;
        EXPECT_EQ(cells.mid(at + 2, 4),
                  (QStringList{QStringLiteral("%1×%2，每秒 %3 帧")
                                   .arg(video.width)
                                   .arg(video.height)
                                   .arg(video.fps),
                               i == 0 ? "RealAudio 14.4 8 kHz 单声道" : "AC-3 44.1 kHz 立体声",
                               QStringLiteral("%1 kbps").arg(info.files[i].plan.budgetKbps),
                               qs(encoder::text::sizeText(info.files[i].largestBytes))}));
    }

    // A destination without .rm is handed on as it is, with a word first.
    const std::string noExtension = "/媒体/讲座 测试";
    for (const std::string& destination : {noExtension, noExtension + ".RM"}) {
        job.destination = destination;
        ASSERT_TRUE(encoder::planJob(job, facts, info));
        EXPECT_EQ(
            planText(info, job.audioContent, job.videoQuality)
                .notes.contains("目标文件名没有 .rm 扩展名，播放器和文件管理器可能认不出这些文件"),
            destination == noExtension);
    }

    // A single picture is shown for five seconds, and its files are bounded so.
    facts.stillPicture = true;
    facts.durationMs = facts.shape.durationMs = 0;
    facts.shape.hasAudio = false;
    ASSERT_TRUE(encoder::planJob(job, facts, info));
    EXPECT_GT(info.files.front().largestBytes, 0);
    const PlanText still = planText(info, job.audioContent, job.videoQuality);
    EXPECT_EQ(still.heading, "将生成 3 个文件　源文件是单张图片，显示 5 秒");
    EXPECT_TRUE(still.notes.contains("源文件没有声音，文件中只有画面"));

    // The plan says when the picture is converted from HDR, or deinterlaced.
    facts.shape.colour.transfer = encoder::Transfer::Hlg;
    facts.shape.fields.stated = encoder::FieldOrder::TopFirst;
    ASSERT_TRUE(encoder::planJob(job, facts, info));
    const QStringList notes = planText(info, job.audioContent, job.videoQuality).notes;
    EXPECT_TRUE(notes.contains(qs(encoder::text::kPlanNoteHdr)));
    EXPECT_TRUE(notes.contains(qs(encoder::text::kPlanNoteInterlaced)));

    // Neither a running job nor a summary gives way to a new plan; a change
    // of settings takes the summary's place.
    pane->startJob(std::make_shared<encoder::JobPreview>(), {.budgetKbps = 20});
    pane->setPlan({PanePlan::State::Reading, {}, {}});
    EXPECT_TRUE(host.findChild<PictureView*>("encoderSourcePicture")->isVisible());
    pane->showSummary(
        {JobSummary::Ended::Completed, "/媒体", {{"讲座.rm", "28K", 60'000, 150'000, 20, 0}}, ""});
    pane->setPlan({PanePlan::State::Refused, QStringLiteral("无法打开源文件"), {}});
    auto* openFolder = host.findChild<QPushButton*>("encoderOpenFolder");
    ASSERT_TRUE(openFolder->isVisible());
    openFolder->click();
    ASSERT_EQ(folders.size(), 1);
    EXPECT_EQ(folders.front().front().toString(), "/媒体");
    pane->showNext();
    EXPECT_FALSE(openFolder->isVisible());
    EXPECT_EQ(label("encoderIdleHint")->text(), "无法打开源文件");
    EXPECT_TRUE(label("encoderIdleHint")->styleSheet().contains("#b00"));
}

}  // namespace
}  // namespace velmora
