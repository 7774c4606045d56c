// A file to drag, for the end-to-end run: a small window titled
// "velmora-drag-source" that starts a real drag of the file named on its
// command line when a button is pressed on it, says how the drag ended on
// standard output and ends a few seconds later: the drop's target asks for
// the file's name after the drag has ended here.

#include <QApplication>
#include <QDrag>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <cstdio>

namespace {

class DragSource : public QLabel {
  public:
    explicit DragSource(QString file) : QLabel(QFileInfo(file).fileName()), file_(std::move(file)) {
        setWindowTitle(QStringLiteral("velmora-drag-source"));
        setAlignment(Qt::AlignCenter);
        setFixedSize(160, 80);
    }

  protected:
    void mousePressEvent(QMouseEvent*) override {
        auto* data = new QMimeData;
        data->setUrls({QUrl::fromLocalFile(file_)});
        auto* drag = new QDrag(this);
        drag->setMimeData(data);
        const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::LinkAction);
        std::printf("%s\n", action == Qt::IgnoreAction ? "ignored" : "dropped");
        std::fflush(stdout);
        QTimer::singleShot(5000, qApp, &QApplication::quit);
    }

  private:
    QString file_;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: velmora-drag-source FILE\n");
        return 2;
    }
    DragSource source(QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath());
    source.move(900, 700);
    source.show();
    return app.exec();
}
