#pragma once
#include <QString>

class QWidget;

namespace velmora {

// A modal message box with one OK button.
class MessageBox {
  public:
    virtual ~MessageBox() = default;
    virtual void show(const QString& text, const QString& title) = 0;
};

class QtMessageBox : public MessageBox {
  public:
    explicit QtMessageBox(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    void show(const QString& text, const QString& title) override;

  private:
    QWidget* parent_;
};

}  // namespace velmora
