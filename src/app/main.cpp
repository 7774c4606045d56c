#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTranslator>
#include <csignal>

#include "app/real.h"
#include "app/signal_watch.h"
#include "app/state_report.h"
#include "app/window_parts.h"
#include "platform/common_dialog.h"
#include "platform/countdown.h"
#include "platform/encoder/ffmpeg_encoder_component.h"
#include "platform/message_box.h"
#include "platform/qt_shell.h"

int main(int argc, char** argv) {
    // A write past the file-size limit must come back to the encoder as an
    // error it reports, not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName("velmora");
    // Ties the window to the installed menu entry (its icon and name).
    QApplication::setDesktopFileName(QStringLiteral("velmora"));
    // The program ends through its own exit commands; hiding the window or
    // closing a message box while it is hidden must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    // Qt's own dialogs (file dialogs, message box buttons) in Chinese like
    // the rest of the program.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                     QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);

    velmora::WindowParts<velmora::FfmpegEncoderComponent, velmora::QtCommonDialog,
                         velmora::QtMessageBox, velmora::QtShell, velmora::QtLogoffCountdown>
        parts;
    velmora::Platform platform =
        parts.platform(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()),
                       [] { QCoreApplication::exit(0); });
    velmora::QtShell& shell = parts.shell;
    platform.windowHandle = [&shell](QWidget* w) { return shell.registerWindow(w); };
    platform.iconHandle = [&shell](const QIcon& icon) { return shell.registerIcon(icon); };
    velmora::Real real(platform);
    parts.dlg1.setParent(&real);
    parts.dlg2.setParent(&real);
    parts.messageBox.setParent(&real);
    parts.countdown.setParent(&real);
    // The status display holds no controls: a countdown with no room beside
    // the window covers that.
    parts.countdown.setSpareArea(real.findChild<QWidget*>(QStringLiteral("Frame3")));

    real.Form_Load();
    // `velmora FILE` (the menu entry's %f, a file manager's "open with"):
    // the one start-up argument. Qt has taken its own options out by now.
    if (const QStringList args = QCoreApplication::arguments(); args.size() > 1)
        real.openSource(QDir::toNativeSeparators(QFileInfo(args[1]).absoluteFilePath()));
    velmora::StateReporter::installFromEnvironment(&real);
    // The end of a session (SIGHUP, SIGTERM) or Ctrl+C in a terminal leaves
    // as 退出 does: a running job keeps what it compressed, as a valid
    // shorter file under its own name.
    QObject::connect(new velmora::SignalWatch({SIGTERM, SIGHUP, SIGINT}, &real),
                     &velmora::SignalWatch::caught, &real, [&real] { real.a14_Click(); });
    real.show();
    return app.exec();
}
