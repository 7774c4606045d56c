// Choosing the source and the destination through the common dialogs. A
// dialog step that fails is passed over: the text box then gets whatever
// name the dialog holds.

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>

#include "app/real.h"
#include "texts/window_texts.h"

namespace velmora {

namespace {

QString chosenName(const CommonDialog& dialog) {
    Variant name;
    if (!dialog.get(dialog::FileName, name) || !name.is(Variant::Type::String)) return QString();
    return QString::fromStdU16String(name.toString());
}

// The dialog starts from what the box holds, so a cancelled dialog hands
// back the box's own text rather than an older name.
void askForFile(CommonDialog& dialog, const QLineEdit* box, const char16_t* title,
                const char16_t* filter, DispId show) {
    (void)dialog.put(dialog::FileName, Variant::string(box->text().toStdU16String()));
    (void)dialog.put(dialog::DialogTitle, Variant::string(title));
    (void)dialog.put(dialog::Filter, Variant::string(filter));
    (void)dialog.invoke(show);
}

}  // namespace

void Real::Cmdopen_Click() {
    askForFile(p_.dlg1, Textopen, text::kOpenTitle, text::kOpenFilter, dialog::ShowOpen);
    showChosenSource();
}

// The dialog then holds the name as if the user had picked it there, so the
// next open dialog starts at it.
void Real::openSource(const QString& path) {
    putDialog(p_.dlg1, dialog::FileName, Variant::string(path.toStdU16String()));
    showChosenSource();
}

void Real::showChosenSource() {
    Textopen->setText(chosenName(p_.dlg1));
    if (Textopen->text().trimmed().isEmpty()) return;
    Cmdopen->setEnabled(true);
    Cmdsave->setEnabled(true);
}

void Real::Cmdsave_Click() {
    askForFile(p_.dlg2, Textsave, text::kSaveTitle, text::kSaveFilter, dialog::ShowSave);
    Textsave->setText(chosenName(p_.dlg2));
}

QString Real::droppedSource(const QMimeData* data) {
    if (!data || !data->hasUrls() || data->urls().size() != 1) return QString();
    const QUrl url = data->urls().front();
    if (!url.isLocalFile()) return QString();
    const QFileInfo file(url.toLocalFile());
    return file.isFile() ? QDir::toNativeSeparators(file.absoluteFilePath()) : QString();
}

void Real::dragEnterEvent(QDragEnterEvent* event) {
    if (!droppedSource(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

// As the open dialog would have chosen it; the encoder hears of it at start.
void Real::dropEvent(QDropEvent* event) {
    const QString source = droppedSource(event->mimeData());
    if (source.isEmpty()) return;
    event->acceptProposedAction();
    openSource(source);
}

}  // namespace velmora
