// Build step: writes the program's icon as DIR/<n>x<n>/apps/velmora.png for
// each hicolor size, from the drawing the window uses.
//   velmora-render-icon DIR
#include <QDir>
#include <QString>
#include <cstdio>

#include "app/icon.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: velmora-render-icon DIR\n", stderr);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        const QString file = folder + QStringLiteral("/velmora.png");
        if (!QDir().mkpath(folder) || !velmora::drawIcon(size).save(file, "PNG")) {
            std::fprintf(stderr, "velmora-render-icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
