// The component as the window drives it: property writes, start and stop,
// and notifications that arrive on the window's thread, never inside a call.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QThread>
#include <QWidget>
#include <cerrno>
#include <functional>

#include "engine/engine_support.h"
#include "platform/encoder/encoder_pane.h"
#include "platform/encoder/ffmpeg_encoder_component.h"
#include "platform/qt_text.h"
#include "texts/encoder_texts.h"

namespace velmora {
namespace {

using namespace encoder;
namespace media = velmora::testing::media;

// A call that must return at once fails by waiting for the whole job or for
// ever, so a ceiling many times the usual figure tells the two apart also on
// a loaded machine; `make bench` times 停止 itself.
constexpr int kAtOnceMs = 5000;

bool waitUntil(const std::function<bool()>& done, int ms = 60000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

class ComponentMedia : public ::testing::Test {
  protected:
    void SetUp() override {
        component_ = std::make_unique<FfmpegEncoderComponent>();
        component_->setNotificationSink([this](const Notification& n) {
            EXPECT_FALSE(insideCall_) << "notification " << n.id << " raised inside a call";
            EXPECT_EQ(QThread::currentThread(), qApp->thread());
            seen_.push_back(n);
        });
        // As the window's start-up writes them.
        put(prop::Unnamed3151, Variant::long_(0));
        put(prop::Unnamed3155, Variant::boolean(true));
        put(prop::Unnamed3156, Variant::boolean(true));
        put(prop::TempDirectory, Variant::string("c:\\windows\\temp"));
        put(prop::AudioContent, Variant::long_(1));
        put(prop::VideoQuality, Variant::long_(1));
        put(prop::Target256KDSLCableModem, Variant::boolean(true));
    }

    void put(DispId id, const Variant& v) {
        insideCall_ = true;
        const Status s = component_->put(id, v);
        insideCall_ = false;
        ASSERT_TRUE(s) << id << ": " << s.message();
    }
    Status invoke(DispId id) {
        insideCall_ = true;
        Status s = component_->invoke(id);
        insideCall_ = false;
        return s;
    }
    void setFiles(const std::string& source, const std::string& destination) {
        put(prop::InputFilename, Variant::string(source));
        put(prop::OutputFilename, Variant::string(destination));
    }
    bool sawEnd() const {
        for (const auto& n : seen_)
            if (n.id == event::Completed || n.id == event::Stopped || n.id == event::Error)
                return true;
        return false;
    }
    std::vector<DispId> ids() const {
        std::vector<DispId> out;
        for (const auto& n : seen_)
            if (n.id != event::Statistics &&
                (out.empty() || n.id != event::Progress || out.back() != event::Progress))
                out.push_back(n.id);
        return out;
    }
    std::optional<Notification> first(DispId id, std::size_t from = 0) const {
        for (std::size_t i = from; i < seen_.size(); ++i)
            if (seen_[i].id == id) return seen_[i];
        return std::nullopt;
    }
    std::optional<Notification> last(DispId id) const {
        for (auto n = seen_.rbegin(); n != seen_.rend(); ++n)
            if (n->id == id) return *n;
        return std::nullopt;
    }

    media::ScratchDir dir_;
    std::unique_ptr<FfmpegEncoderComponent> component_;
    std::vector<Notification> seen_;
    bool insideCall_ = false;
};

TEST_F(ComponentMedia, ThePaneShowsBothPicturesAndTheFiguresWhileAJobRuns) {
    // Long enough that the pane refreshes a few times before the end.
    const std::string& source = media::cachedClip("long", encoder::testing::longClip());
    setFiles(source, dir_.file("pane.rm"));
    QWidget host;
    host.resize(425, 153);
    component_->attachView(&host);
    auto* sourceView = host.findChild<PictureView*>("encoderSourcePicture");
    auto* outputView = host.findChild<PictureView*>("encoderOutputPicture");
    auto* bitRate = host.findChild<QLabel*>("encoderBitRate");
    ASSERT_TRUE(sourceView && outputView && bitRate);

    ASSERT_TRUE(invoke(op::Start));
    ASSERT_TRUE(waitUntil([&] { return !outputView->picture().isNull() || sawEnd(); }));
    ASSERT_FALSE(sawEnd()) << "no pictures while the job ran";
    EXPECT_FALSE(sourceView->picture().isNull());
    EXPECT_NEAR(outputView->picture().width(), sourceView->picture().width(), 2);
    EXPECT_NEAR(outputView->picture().height(), sourceView->picture().height(), 2);
    EXPECT_TRUE(waitUntil([&] { return bitRate->text().contains("/225 kbps"); }, 2000))
        << bitRate->text().toStdString();
    ASSERT_TRUE(waitUntil([&] { return sawEnd(); }));
    EXPECT_TRUE(sourceView->picture().isNull()) << "the pictures went with the job";
    // The job's page showed the figures its last Statistics carried.
    const std::optional<Notification> statistics = last(event::Statistics);
    ASSERT_TRUE(statistics);
    const std::int32_t kbps = statistics->args[0].toLong();
    EXPECT_GT(kbps, 0);
    EXPECT_EQ(statistics->args[1].toLong(), 225);
    EXPECT_TRUE(bitRate->text().contains(QStringLiteral(" %1/225 kbps").arg(kbps)))
        << bitRate->text().toStdString();
    // What was made stays on show until the settings change.
    auto* file = host.findChild<QLabel*>("encoderSummaryFile");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(file->isVisibleTo(&host));
    EXPECT_EQ(file->text(), "pane.rm");
    const QString figures = host.findChild<QLabel*>("encoderSummaryFigures")->text();
    EXPECT_TRUE(figures.contains("/225 kbps")) << figures.toStdString();
    // The preroll comes from the written file, and no file of ours plays without one.
    EXPECT_TRUE(figures.contains("预缓冲") && !figures.contains("预缓冲 0.0 秒"))
        << figures.toStdString();
    put(prop::Target56KModem, Variant::boolean(true));
    EXPECT_FALSE(file->isVisibleTo(&host));
    EXPECT_TRUE(host.findChild<QLabel*>("encoderBudget")->isVisibleTo(&host));
}

// Two audiences, two files: the window hears of the named one (the slowest
// audience's), and the pane sums them up with a row each in its tooltip.
TEST_F(ComponentMedia, SeveralAudiencesMakeSeveralFilesThatThePaneSumsUp) {
    const std::string& source = media::cachedClip("detailed", encoder::testing::detailedClip());
    const std::string named = dir_.file("讲座.rm"), beside = dir_.file("讲座-512k.rm");
    setFiles(source, named);
    put(prop::Target512KDSLCableModem, Variant::boolean(true));
    QWidget host;
    host.resize(425, 153);
    component_->attachView(&host);
    host.show();  // the folder's line is fitted to the pane's width
    const auto label = [&](const char* name) { return host.findChild<QLabel*>(name)->text(); };

    ASSERT_TRUE(invoke(op::Start));
    // From the click on, the line of figures counts the files.
    EXPECT_TRUE(label("encoderBitRate").contains("/225 kbps（共 2 个文件）"))
        << label("encoderBitRate").toStdString();
    ASSERT_TRUE(waitUntil([&] { return sawEnd(); }));
    ASSERT_EQ(seen_.back().id, event::Completed);
    const media::MediaInfo slow = media::probe(named), fast = media::probe(beside);
    ASSERT_TRUE(slow.opened && fast.opened) << slow.error << fast.error;
    EXPECT_EQ(seen_.back().args[0].toUtf8(), named);
    EXPECT_EQ(seen_.back().args[1].toLong(), slow.fileBytes);

    EXPECT_TRUE(label("encoderSummaryFile")
                    .startsWith("共 2 个文件　总大小 " +
                                qs(encoder::text::sizeText(slow.fileBytes + fast.fileBytes))))
        << label("encoderSummaryFile").toStdString();
    EXPECT_EQ(label("encoderSummaryFigures"), "保存在 " + QString::fromStdString(dir_.path()));
    const QString table = host.findChild<QWidget*>("encoderSummary")->toolTip();
    ASSERT_TRUE(slow.video && fast.video);
    for (const auto& [name, file] : {std::pair{"讲座.rm", slow}, std::pair{"讲座-512k.rm", fast}}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(table.contains(QString::fromUtf8(name)));
        EXPECT_TRUE(table.contains(qs(encoder::text::sizeText(file.fileBytes))));
        EXPECT_TRUE(
            table.contains(QStringLiteral("%1×%2").arg(file.video->width).arg(file.video->height)));
    }
}

// Before 开始 the pane reads the source box for itself, off the window's
// thread, and shows what the job will make; nothing reaches the component.
TEST_F(ComponentMedia, ThePaneShowsThePlanOfTheNamesInTheBoxes) {
    const std::string& source = media::cachedClip("detailed", encoder::testing::detailedClip());
    put(prop::Target28KModem, Variant::boolean(true));
    put(prop::Target512KDSLCableModem, Variant::boolean(true));
    put(prop::AudioContent, Variant::long_(StereoMusic));
    QWidget host;
    host.resize(425, 153);
    component_->attachView(&host);
    QLineEdit sourceBox, destinationBox;
    std::vector<QString> opened;
    component_->linkView(
        {&sourceBox, &destinationBox, [&](const QString& folder) { opened.push_back(folder); }});
    host.show();
    const auto label = [&](const char* name) { return host.findChild<QLabel*>(name); };
    const auto planShown = [&] { return host.findChild<QWidget*>("encoderPlan")->isVisible(); };
    const auto hint = [&] { return label("encoderIdleHint")->text(); };

    // Typed key by key: read once, when the name stands.
    const int readsBefore = component_->planReader().readsBegun();
    const QString name = QString::fromStdString(source);
    for (qsizetype n = 1; n <= name.size(); ++n) sourceBox.setText(name.left(n));
    EXPECT_EQ(hint(), "正在读取源文件…");
    ASSERT_TRUE(waitUntil(planShown)) << hint().toStdString();
    EXPECT_EQ(component_->planReader().readsBegun(), readsBefore + 1);
    EXPECT_TRUE(component_->nextJob().source.empty()) << "the names wait for 开始";
    EXPECT_TRUE(label("encoderPlanHeading")->text().startsWith("将生成 3 个文件　源文件时长 00:0"))
        << label("encoderPlanHeading")->text().toStdString();
    // The planner the job uses, for the choices the component holds.
    JobSettings job = component_->nextJob();
    job.source = source;
    job.destination = dir_.file("讲座.rm");
    SourceFacts facts;
    JobInfo info;
    ASSERT_TRUE(readJobSource(job, facts) && planJob(job, facts, info));
    destinationBox.setText(QString::fromStdString(job.destination));
    const auto lines =
        host.findChildren<QLabel*>(QRegularExpression("^encoderPlan(File|Settings)$"));
    ASSERT_EQ(lines.size(), 4);
    for (const auto& [line, file] :
         {std::pair{0, info.files.front()}, std::pair{2, info.files.back()}}) {
        const QString shown = lines[line]->text() + "\n" + lines[line + 1]->text();
        SCOPED_TRACE(shown.toStdString());
        EXPECT_TRUE(shown.contains(QFileInfo(QString::fromStdString(file.destination)).fileName()));
        EXPECT_TRUE(shown.contains("至多约 " + qs(encoder::text::sizeText(file.largestBytes))));
        EXPECT_TRUE(shown.contains(QStringLiteral("%1×%2，每秒 %3 帧")
                                       .arg(file.plan.video->width)
                                       .arg(file.plan.video->height)
                                       .arg(file.plan.video->fps)));
        EXPECT_TRUE(shown.contains(QStringLiteral("%1 kbps").arg(file.plan.budgetKbps)));
    }
    EXPECT_TRUE(lines[1]->text().contains("RealAudio 14.4 8 kHz 单声道"));
    EXPECT_TRUE(lines[3]->text().contains("AC-3 44.1 kHz 立体声"));
    EXPECT_TRUE(label("encoderPlanNotes")->text().contains("立体声音乐在 28K 调制解调器 上"));
    EXPECT_TRUE(label("encoderPlanMore")->isVisible());
    EXPECT_TRUE(host.findChild<QWidget*>("encoderPlan")->toolTip().contains("讲座-256k.rm"));
    // A choice changed: planned again at once, with no second read.
    put(prop::Target256KDSLCableModem, Variant::boolean(false));
    EXPECT_TRUE(label("encoderPlanHeading")->text().startsWith("将生成 2 个文件"));
    EXPECT_EQ(component_->planReader().readsBegun(), readsBefore + 1);

    // A pipe is not read: nobody holds it open for reading.
    const std::string fifo = dir_.file("管道");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    sourceBox.setText(QString::fromStdString(fifo));
    ASSERT_TRUE(waitUntil([&] { return hint().contains("长度未知"); })) << hint().toStdString();
    EXPECT_FALSE(planShown());
    EXPECT_EQ(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK), -1);
    EXPECT_EQ(errno, ENXIO);
    // A source that cannot be read says so on the pane.
    sourceBox.setText(QString::fromStdString(dir_.file("不存在.mp4")));
    ASSERT_TRUE(waitUntil([&] { return hint().contains("无法打开源文件"); }))
        << hint().toStdString();
    EXPECT_TRUE(label("encoderIdleHint")->styleSheet().contains("#b00"));
    sourceBox.clear();
    EXPECT_EQ(hint(), "选择源文件与目标听众后开始压缩");

    // After a job the summary opens the files' folder.
    sourceBox.setText(name);
    setFiles(source, job.destination);
    ASSERT_TRUE(invoke(op::Start));
    ASSERT_TRUE(waitUntil([&] { return sawEnd(); }));
    auto* openFolder = host.findChild<QPushButton*>("encoderOpenFolder");
    ASSERT_TRUE(openFolder && openFolder->isVisible());
    openFolder->click();
    EXPECT_EQ(opened, std::vector<QString>{QString::fromStdString(dir_.path())});
    // A read that ends while the job runs or after it leaves the summary standing.
    ASSERT_TRUE(
        waitUntil([&] { return !host.findChild<QWidget*>("encoderPlan")->toolTip().isEmpty(); }));
    EXPECT_TRUE(openFolder->isVisible());
}

TEST_F(ComponentMedia, AJobRaisesStartedProgressAndCompletedInOrder) {
    const std::string& source = media::cachedClip("detailed", encoder::testing::detailedClip());
    const std::string out = dir_.file("完成 done.rm");
    setFiles(source, out);
    QWidget host;
    host.resize(425, 153);
    component_->attachView(&host);
    auto* bar = host.findChild<QProgressBar*>("encoderProgress");
    ASSERT_NE(bar, nullptr);
    int barPeak = 0;
    component_->setNotificationSink([&](const Notification& n) {
        EXPECT_FALSE(insideCall_);
        seen_.push_back(n);
        barPeak = std::max(barPeak, bar->value());
    });

    ASSERT_TRUE(invoke(op::Start));
    EXPECT_TRUE(seen_.empty()) << "nothing is raised before the call returns";
    ASSERT_TRUE(waitUntil([&] { return sawEnd(); }));

    const auto sequence = ids();
    ASSERT_GE(sequence.size(), 3u);
    EXPECT_EQ(sequence.front(), event::Started);
    EXPECT_EQ(sequence[1], event::Progress);
    EXPECT_EQ(sequence.back(), event::Completed);

    const Notification started = *first(event::Started);
    EXPECT_EQ(started.args[0].toUtf8(), source);
    EXPECT_EQ(started.args[1].toUtf8(), out);
    EXPECT_NEAR(started.args[2].toLong(), 8000, 100);
    EXPECT_EQ(started.args[3].toLong(), 225);

    int last = -1;
    for (const auto& n : seen_) {
        if (n.id != event::Progress) continue;
        ASSERT_TRUE(n.args[kProgressPercentArg].is(Variant::Type::Long));
        EXPECT_GT(n.args[kProgressPercentArg].toLong(), last);
        last = n.args[kProgressPercentArg].toLong();
    }
    EXPECT_GT(last, 50);
    EXPECT_GT(barPeak, 0);

    const Notification done = *first(event::Completed);
    EXPECT_EQ(done.args[0].toUtf8(), out);
    EXPECT_EQ(done.args[1].toLong(), media::probe(out).fileBytes);
    EXPECT_EQ(done.args[2].toLong(), 100);
    EXPECT_TRUE(media::probe(out).opened);
    EXPECT_FALSE(component_->isRunning());
}

TEST_F(ComponentMedia, StopRaisesStoppedAfterTheCallAndLeavesAValidFile) {
    const std::string& source = media::cachedClip("long", encoder::testing::longClip());
    const std::string out = dir_.file("stopped.rm");
    setFiles(source, out);
    ASSERT_TRUE(invoke(op::Start));
    // A write during the job is for the next one.
    put(prop::OutputFilename, Variant::string(dir_.file("next.rm")));
    ASSERT_TRUE(waitUntil([&] { return first(event::Progress).has_value(); }));
    const std::size_t before = seen_.size();
    ASSERT_TRUE(invoke(op::Stop));
    EXPECT_EQ(seen_.size(), before);
    ASSERT_TRUE(waitUntil([&] { return sawEnd(); }));
    // Nothing of the stopped job but its end arrives after the stop: a late
    // percentage would stand under the window's stopped status.
    ASSERT_EQ(seen_.size(), before + 1);
    EXPECT_EQ(seen_.back().id, event::Stopped);
    EXPECT_TRUE(media::probe(out).opened);
    EXPECT_FALSE(media::fileExists(dir_.file("next.rm")));
    EXPECT_TRUE(invoke(op::Stop));  // idle: nothing happens
    QApplication::processEvents();
    EXPECT_EQ(ids().back(), event::Stopped);
}

// The first job's file stays, and nothing of it (progress, its end) arrives
// once the second start has begun: it would stand under the second job.
TEST_F(ComponentMedia, StartWhileRunningStopsTheFirstJobThenRunsTheSecond) {
    const std::string& longSource = media::cachedClip("long", encoder::testing::longClip());
    const std::string& shortSource =
        media::cachedClip("detailed", encoder::testing::detailedClip());
    setFiles(longSource, dir_.file("first.rm"));
    ASSERT_TRUE(invoke(op::Start));
    ASSERT_TRUE(waitUntil([&] { return first(event::Progress).has_value(); }));
    setFiles(shortSource, dir_.file("second.rm"));
    const std::size_t before = seen_.size();
    ASSERT_TRUE(invoke(op::Start));
    ASSERT_TRUE(waitUntil([&] { return first(event::Completed).has_value(); }));
    ASSERT_GT(seen_.size(), before);
    EXPECT_EQ(seen_[before].id, event::Started);
    EXPECT_EQ(seen_[before].args[0].toUtf8(), shortSource);
    EXPECT_FALSE(first(event::Stopped).has_value());
    EXPECT_EQ(seen_.back().id, event::Completed);
    EXPECT_TRUE(media::probe(dir_.file("first.rm")).opened);
    EXPECT_TRUE(media::probe(dir_.file("second.rm")).opened);
}

TEST_F(ComponentMedia, NoCompletedAfterAStop) {
    const std::string& source = media::cachedClip("detailed", encoder::testing::detailedClip());
    setFiles(source, dir_.file("done.rm"));
    ASSERT_TRUE(invoke(op::Start));
    // The job ends while the window's thread is busy: its Completed waits
    // in the queue when the user's Stop arrives.
    QElapsedTimer timer;
    timer.start();
    while (component_->isRunning() && timer.elapsed() < 60000) QThread::msleep(5);
    ASSERT_FALSE(component_->isRunning());
    ASSERT_TRUE(invoke(op::Stop));
    QApplication::processEvents();
    EXPECT_FALSE(first(event::Completed).has_value());
    EXPECT_FALSE(first(event::Progress).has_value());
    ASSERT_FALSE(seen_.empty());
    EXPECT_EQ(seen_.back().id, event::Stopped);
    EXPECT_EQ(seen_.back().args[1].toLong(), media::probe(dir_.file("done.rm")).fileBytes);
}

TEST_F(ComponentMedia, ARefusedRestartSaysWhereTheRunningJobsFileIs) {
    const std::string& source = media::cachedClip("long", encoder::testing::longClip());
    const std::string out = dir_.file("running.rm");
    setFiles(source, out);
    ASSERT_TRUE(invoke(op::Start));
    ASSERT_TRUE(waitUntil([&] { return first(event::Progress).has_value(); }));
    setFiles(dir_.file("missing.mp4"), dir_.file("next.rm"));
    const std::size_t before = seen_.size();
    // The source is opened on the job's thread: its refusal comes as Error.
    ASSERT_TRUE(invoke(op::Start));
    ASSERT_TRUE(waitUntil([&] { return first(event::Error, before).has_value(); }));
    const Notification error = *first(event::Error, before);
    EXPECT_EQ(error.args[0].toLong(), errorCodeOf(ErrorKind::SourceMissing));
    const std::string message = error.args[1].toUtf8();
    EXPECT_NE(message.find("无法打开源文件"), std::string::npos) << message;
    EXPECT_NE(message.find("已停止"), std::string::npos) << message;
    EXPECT_NE(message.find(out), std::string::npos) << message;
    // The refusal is told from the job's thread just before that job ends.
    EXPECT_TRUE(waitUntil([&] { return !component_->isRunning(); }));
    EXPECT_TRUE(media::probe(out).opened);
}

// A FIFO nobody writes to, and a file whose reads the kernel holds (a
// network mount that stopped answering): Start returns at once, the
// window's thread stays free while the job waits, and Stop ends the wait
// within the bound, the held read given up rather than the job let go.
TEST_F(ComponentMedia, ASourceThatSendsNothingHoldsUpNeitherStartNorStop) {
    encoder::testing::StalledReads stalled;
    const std::string fifo = dir_.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string held = dir_.file("clip.stalled");
    ASSERT_TRUE(QFile::copy(
        QString::fromStdString(media::cachedClip("detailed", encoder::testing::detailedClip())),
        QString::fromStdString(held)));
    for (const std::string& source : {fifo, held}) {
        SCOPED_TRACE(source);
        seen_.clear();
        const int givenUp = SourceFile::heldCalls();
        setFiles(source, dir_.file("out.rm"));
        QWidget host;
        component_->attachView(&host);
        QElapsedTimer timer;
        timer.start();
        ASSERT_TRUE(invoke(op::Start));
        EXPECT_LT(timer.elapsed(), kAtOnceMs);
        waitUntil([] { return false; }, 300);
        if (source == held) {
            EXPECT_TRUE(stalled.waitHeld(1));
        }
        EXPECT_TRUE(seen_.empty());
        EXPECT_TRUE(component_->isRunning());
        // The pane shows the job from the click on, not the idle page.
        EXPECT_TRUE(host.findChild<QProgressBar*>("encoderProgress")->isVisibleTo(&host));
        timer.restart();
        ASSERT_TRUE(invoke(op::Stop));
        EXPECT_LT(timer.elapsed(), kAtOnceMs);
        EXPECT_FALSE(component_->isRunning());
        ASSERT_TRUE(waitUntil([&] { return sawEnd(); }));
        EXPECT_EQ(ids(), std::vector<DispId>{event::Stopped});
        EXPECT_FALSE(media::fileExists(dir_.file("out.rm")));
        EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
        // Nothing was made: the pane has no summary to show.
        EXPECT_TRUE(host.findChild<QLabel*>("encoderBudget")->isVisibleTo(&host));
        if (source == held) {
            EXPECT_EQ(SourceFile::heldCalls(), givenUp + 1);
        }
    }
}

// The plan of a name whose read the kernel holds never holds up the plan of
// the next name, and leaving does not wait for it.
TEST_F(ComponentMedia, AStalledSourceHoldsUpNoLaterNameOfThePlan) {
    encoder::testing::StalledReads stalled;
    const std::string& clip = media::cachedClip("detailed", encoder::testing::detailedClip());
    const std::string held = dir_.file("clip.stalled");
    ASSERT_TRUE(QFile::copy(QString::fromStdString(clip), QString::fromStdString(held)));
    QWidget host;
    host.resize(425, 153);
    component_->attachView(&host);
    QLineEdit sourceBox, destinationBox;
    component_->linkView({&sourceBox, &destinationBox, {}});
    host.show();
    const auto planShown = [&] { return host.findChild<QWidget*>("encoderPlan")->isVisible(); };
    for (int name = 0; name < PlanReader::kMostReads + 1; ++name) {
        SCOPED_TRACE(name);
        // Each held name is given up for the next; the plan waits for none.
        sourceBox.setText(QString::fromStdString(held));
        ASSERT_TRUE(waitUntil([&] { return stalled.held() > name; }));
        EXPECT_EQ(host.findChild<QLabel*>("encoderIdleHint")->text(), "正在读取源文件…");
        sourceBox.setText(QString::fromStdString(clip));
        ASSERT_TRUE(waitUntil(planShown));
    }
    sourceBox.setText(QString::fromStdString(held));
    ASSERT_TRUE(waitUntil([&] { return stalled.held() > PlanReader::kMostReads + 1; }));
    QElapsedTimer timer;
    timer.start();
    component_.reset();
    EXPECT_LT(timer.elapsed(), kAtOnceMs);
}

// The source's clock jumps ten hours after two seconds: once the engine has
// closed the gap, the pane's remaining time counts what is left of six
// seconds, not of ten hours.
TEST_F(ComponentMedia, ThePanesRemainingTimeFollowsAClosedGap) {
    media::ClipShape shape;
    shape.seconds = 6;
    shape.clockJumpAt = 2;
    shape.clockJumpSeconds = 36000;
    const std::string& source = media::cachedClip("jump", shape);
    ASSERT_FALSE(source.empty());
    setFiles(source, dir_.file("jump.rm"));
    QWidget host;
    host.resize(425, 153);
    component_->attachView(&host);
    auto* remaining = host.findChild<QLabel*>("encoderRemaining");
    ASSERT_NE(remaining, nullptr);
    const QRegularExpression underAnHour("\\s\\d\\d:\\d\\d$");
    int checked = 0;
    bool closed = false;  // the last Progress counted the gap out
    component_->setNotificationSink([&](const Notification& n) {
        seen_.push_back(n);
        if (n.id == event::Progress) closed = n.args[1].toLong() <= 60000;
        // The figures arrive as the Statistics that follow each Progress.
        if (n.id != event::Statistics || !closed) return;
        ++checked;
        EXPECT_TRUE(underAnHour.match(remaining->text()).hasMatch())
            << remaining->text().toStdString();
    });
    ASSERT_TRUE(invoke(op::Start));
    ASSERT_TRUE(waitUntil([&] { return sawEnd(); }));
    EXPECT_EQ(seen_.back().id, event::Completed);
    EXPECT_GT(checked, 0);
}

TEST_F(ComponentMedia, DestroyingTheComponentMidJobFinishesTheFile) {
    const std::string& source = media::cachedClip("long", encoder::testing::longClip());
    const std::string out = dir_.file("destroyed.rm");
    setFiles(source, out);
    ASSERT_TRUE(invoke(op::Start));
    ASSERT_TRUE(waitUntil([&] { return first(event::Progress).has_value(); }));
    QElapsedTimer timer;
    timer.start();
    component_.reset();
    EXPECT_LT(timer.elapsed(), kAtOnceMs);
    QApplication::processEvents();  // queued notifications died with the component
    EXPECT_FALSE(sawEnd());
    const media::MediaInfo m = media::probe(out);
    EXPECT_TRUE(m.opened);
    // Ended where it was, not encoded to the end of the 20-second source.
    EXPECT_LT(m.playSeconds(), 10.0);
    EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
}

// What needs no file is refused by Start itself and raises nothing; what
// the job finds on the disk (the destination is the source) comes as Error.
TEST_F(ComponentMedia, RefusalsComeBackFromStartOrAsAnErrorAndLeaveNothing) {
    const std::string& source = media::cachedClip("detailed", encoder::testing::detailedClip());
    const std::string digest = media::fileDigest(source);
    setFiles(source, source);
    ASSERT_TRUE(invoke(op::Start));
    ASSERT_TRUE(waitUntil([&] { return sawEnd(); }));
    ASSERT_EQ(ids(), std::vector<DispId>{event::Error});
    EXPECT_EQ(seen_.back().args[0].toLong(), errorCodeOf(ErrorKind::DestinationRefused));
    const std::string message = seen_.back().args[1].toUtf8();
    EXPECT_NE(message.find("同一个文件"), std::string::npos) << message;
    EXPECT_FALSE(component_->isRunning());
    seen_.clear();

    // A link beside the named file, to a FIFO nobody writes: not followed,
    // so the job is refused instead of waiting on it for good.
    const std::string fifo = dir_.file("fifo"), beside = dir_.file("a-512k.rm");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(fifo.c_str(), beside.c_str()), 0);
    setFiles(source, dir_.file("a.rm"));
    put(prop::Target512KDSLCableModem, Variant::boolean(true));
    ASSERT_TRUE(invoke(op::Start));
    ASSERT_TRUE(waitUntil([&] { return sawEnd(); }));
    ASSERT_EQ(ids(), std::vector<DispId>{event::Error});
    EXPECT_EQ(seen_.back().args[0].toLong(), errorCodeOf(ErrorKind::DestinationRefused));
    const std::string refusal = seen_.back().args[1].toUtf8();
    EXPECT_NE(refusal.find(beside + "。" + encoder::text::kCauseIsLink), std::string::npos)
        << refusal;
    EXPECT_FALSE(component_->isRunning());
    seen_.clear();
    put(prop::Target512KDSLCableModem, Variant::boolean(false));

    put(prop::Target256KDSLCableModem, Variant::boolean(false));
    const Status s = invoke(op::Start);
    EXPECT_EQ(s.kind(), ErrorKind::BadRequest);
    EXPECT_NE(s.message().find("目标听众"), std::string::npos) << s.message();

    QApplication::processEvents();
    EXPECT_TRUE(seen_.empty());
    EXPECT_FALSE(media::fileExists(dir_.file("a.rm")));
    EXPECT_EQ(media::fileDigest(source), digest);
}

}  // namespace
}  // namespace velmora
