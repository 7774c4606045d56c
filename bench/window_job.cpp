// Runs one real job in the real window and its real encoder component, with
// stand-ins only for the shell and the dialogs, and watches the window's
// event loop with a 10 ms probe timer: the longest gap between ticks is how
// long the window stood still. With --shot it also grabs the window mid-job;
// with --stop-after it presses 停止 that many milliseconds into the job and
// times the call (the tests only hold it to a generous ceiling).
//   velmora-window-job [--shot PNG] [--stop-after MS] [--audience 56k|lan|512k]
//                      SOURCE DESTINATION
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/real.h"
#include "app/window_parts.h"
#include "platform/encoder/ffmpeg_encoder_component.h"
#include "platform/encoder_contract.h"
#include "support/recording_dialogs.h"
#include "support/recording_shell.h"

using namespace velmora;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QString shot;
    std::string audience = "lan";
    std::int64_t stopAfterMs = -1;
    std::vector<QString> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--shot" && i + 1 < argc)
            shot = QString::fromLocal8Bit(argv[++i]);
        else if (arg == "--audience" && i + 1 < argc)
            audience = argv[++i];
        else if (arg == "--stop-after" && i + 1 < argc)
            stopAfterMs = std::atoll(argv[++i]);
        else
            files.push_back(QString::fromLocal8Bit(argv[i]));
    }
    if (files.size() != 2) {
        std::fputs(
            "usage: velmora-window-job [--shot PNG] [--stop-after MS] [--audience 56k|lan|512k] "
            "SOURCE DEST\n",
            stderr);
        return 2;
    }

    WindowParts<FfmpegEncoderComponent, testing::RecordingDialog, testing::RecordingMessageBox,
                testing::RecordingShell, testing::RecordingCountdown>
        parts;
    FfmpegEncoderComponent& encoder = parts.encoder;
    Real real(parts.platform(QCoreApplication::applicationDirPath(), [] {}));
    real.Form_Load();
    real.show();

    // The window's own check boxes (top to bottom Check1-5, 8, 6, 7), only
    // the wanted one ticked, so the pane shows what a user would see.
    const std::pair<const char*, const char*> boxes[] = {
        {"28k", "Check1"}, {"56k", "Check2"},  {"isdn", "Check3"}, {"dual-isdn", "Check4"},
        {"lan", "Check5"}, {"256k", "Check8"}, {"384k", "Check6"}, {"512k", "Check7"}};
    for (const auto& [key, box] : boxes) {
        auto* check = real.findChild<QCheckBox*>(box);
        if (!check) continue;
        const bool want = audience == key;
        if (check->isChecked() != want) check->click();
    }
    real.findChild<QLineEdit*>("Textopen")->setText(files[0]);
    real.findChild<QLineEdit*>("Textsave")->setText(files[1]);

    QElapsedTimer job, sinceTick;
    std::int64_t longestGap = 0, ticks = 0;
    std::vector<std::int64_t> gaps;
    std::vector<std::pair<std::int64_t, std::int64_t>> longGaps;  // (ends at, length) ms
    bool finished = false, grabbed = false;
    std::int64_t durationMs = 0;
    std::int64_t startCallMs = 0;  // opening the source and codecs happens in the call
    std::int64_t stopCallMs = -1;
    encoder.setNotificationSink([&](const encoder::Notification& n) {
        if (n.id == encoder::event::Started) durationMs = n.args[2].toLong();
        real.ProducerControl1_Notify(n);
        if (n.id == encoder::event::Completed || n.id == encoder::event::Stopped ||
            n.id == encoder::event::Error) {
            finished = true;
            if (n.id == encoder::event::Error)
                std::fprintf(stderr, "job failed: %s\n", n.args[1].toUtf8().c_str());
        }
    });

    QTimer probe;
    probe.setInterval(10);
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const std::int64_t gap = sinceTick.restart();
        gaps.push_back(gap);
        if (gap > 30) longGaps.emplace_back(job.elapsed(), gap);
        longestGap = std::max(longestGap, gap);
        ++ticks;
        // Mid-job and after a few refreshes of the pane.
        if (!shot.isEmpty() && !grabbed && job.elapsed() > 800) {
            grabbed = true;
            real.grab().save(shot);
            sinceTick.restart();  // the grab is ours, not the job's
        }
        if (stopAfterMs >= 0 && stopCallMs < 0 && !finished && job.elapsed() >= stopAfterMs) {
            QElapsedTimer call;
            call.start();
            real.Cmdstop_Click();
            stopCallMs = call.elapsed();
            sinceTick.restart();  // the stop's wait is measured on its own
        }
        if (finished) app.quit();
    });

    // The window first settles (fonts, first paint), then the job starts.
    QTimer::singleShot(500, [&] {
        job.start();
        sinceTick.start();
        probe.start();
        QElapsedTimer call;
        call.start();
        real.Cmdstart_Click();
        startCallMs = call.elapsed();
    });
    app.exec();

    std::sort(gaps.begin(), gaps.end());
    const auto at = [&](double q) {
        return gaps.empty() ? 0 : gaps[std::min(gaps.size() - 1, std::size_t(q * gaps.size()))];
    };
    std::printf(
        "  job %.2f s of a %.1f s source in the window; probe ticks %lld; gap between ticks: "
        "median %lld ms, 99th percentile %lld ms, longest %lld ms   [target longest < 50 ms]\n",
        job.elapsed() / 1000.0, durationMs / 1000.0, static_cast<long long>(ticks),
        static_cast<long long>(at(0.5)), static_cast<long long>(at(0.99)),
        static_cast<long long>(longestGap));
    std::printf("  the start button's call itself took %lld ms\n",
                static_cast<long long>(startCallMs));
    if (stopCallMs >= 0)
        std::printf("  the stop button's call took %lld ms   [target < 500 ms]\n",
                    static_cast<long long>(stopCallMs));
    else if (stopAfterMs >= 0)
        std::printf("  the job ended before %lld ms: nothing to stop\n",
                    static_cast<long long>(stopAfterMs));
    if (!longGaps.empty()) {
        std::printf("  gaps over 30 ms (ending at, length):");
        for (const auto& [at, length] : longGaps)
            std::printf(" %lld ms: %lld ms;", static_cast<long long>(at),
                        static_cast<long long>(length));
        std::printf("\n");
    }
    if (!shot.isEmpty()) std::printf("  screenshot: %s\n", qPrintable(shot));
    return finished ? 0 : 1;
}
