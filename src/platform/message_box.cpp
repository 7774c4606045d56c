#include "platform/message_box.h"

#include <QMessageBox>

namespace velmora {

void QtMessageBox::show(const QString& text, const QString& title) {
    QMessageBox::information(parent_, title, text, QMessageBox::Ok);
}

void QtMessageBox::showWarning(const QString& text, const QString& title) {
    QMessageBox::warning(parent_, title, text, QMessageBox::Ok);
}

}  // namespace velmora
