#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QTranslator>
#include <csignal>

#include "app/real.h"
#include "app/state_report.h"
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
    // The program ends through its own exit commands; hiding the window or
    // closing a message box while it is hidden must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    // Qt's own dialogs (file dialogs, message box buttons) in Chinese like
    // the rest of the program.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                     QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);

    velmora::FfmpegEncoderComponent encoder;
    velmora::QtCommonDialog dlg1;
    velmora::QtCommonDialog dlg2;
    velmora::QtMessageBox messageBox;
    velmora::QtShell shell;
    velmora::QtLogoffCountdown countdown;

    velmora::Platform platform{
        .encoder = encoder,
        .dlg1 = dlg1,
        .dlg2 = dlg2,
        .messageBox = messageBox,
        .shell = shell,
        .countdown = &countdown,
        .programFolder = QDir::toNativeSeparators(QCoreApplication::applicationDirPath()),
        .endProgram = [] { QCoreApplication::exit(0); },
        .windowHandle = [&shell](QWidget* w) { return shell.registerWindow(w); },
        .iconHandle = [&shell](const QIcon& icon) { return shell.registerIcon(icon); },
    };
    velmora::Real real(platform);
    dlg1.setParent(&real);
    dlg2.setParent(&real);
    messageBox.setParent(&real);
    countdown.setParent(&real);

    real.Form_Load();
    velmora::StateReporter::installFromEnvironment(&real);
    real.show();
    return app.exec();
}
