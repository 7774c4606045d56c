// Choosing the source and the destination through the common dialogs. A
// dialog step that fails is passed over: the text box then gets whatever
// name the dialog holds.

#include <QLineEdit>
#include <QPushButton>

#include "app/real.h"
#include "texts/window_texts.h"

namespace velmora {

namespace {

QString chosenName(const CommonDialog& dialog) {
    Variant name;
    if (!dialog.get(dialog::FileName, name) || !name.is(Variant::Type::String)) return QString();
    return QString::fromStdU16String(name.toString());
}

void askForFile(CommonDialog& dialog, const char16_t* title, const char16_t* filter, DispId show) {
    (void)dialog.put(dialog::DialogTitle, Variant::string(title));
    (void)dialog.put(dialog::Filter, Variant::string(filter));
    (void)dialog.invoke(show);
}

}  // namespace

void Real::Cmdopen_Click() {
    askForFile(p_.dlg1, text::kOpenTitle, text::kOpenFilter, dialog::ShowOpen);
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
    askForFile(p_.dlg2, text::kSaveTitle, text::kSaveFilter, dialog::ShowSave);
    Textsave->setText(chosenName(p_.dlg2));
}

}  // namespace velmora
