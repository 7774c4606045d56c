#pragma once
#include <QString>

class QWidget;

namespace velmora {

// A modal message box with one OK button.
class MessageBox {
  public:
    virtual ~MessageBox() = default;
    virtual void show(const QString& text, const QString& title) = 0;
    // The same box for something that went wrong: it carries the warning
    // icon, so an error does not read like a notice.
    virtual void showWarning(const QString& text, const QString& title) { show(text, title); }
};

class QtMessageBox : public MessageBox {
  public:
    explicit QtMessageBox(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    void show(const QString& text, const QString& title) override;
    void showWarning(const QString& text, const QString& title) override;

  private:
    QWidget* parent_;
};

}  // namespace velmora
