#pragma once
// Stand-ins for the modal parts of the window: the common dialog and the
// message box. Nothing here ever opens a real dialog.

#include <QString>
#include <QStringList>
#include <deque>
#include <vector>

#include "platform/common_dialog.h"
#include "platform/message_box.h"

namespace velmora::testing {

class RecordingDialog : public CommonDialog {
  public:
    struct Shown {
        bool open;
        QString title;
        QString filter;
        QString initDir;
    };
    // The answer of the next dialog shown; an empty string cancels.
    void answerNext(const QString& path) { answers_.push_back(path); }
    const std::vector<Shown>& shown() const { return shown_; }

  protected:
    QString choose(Kind kind) override;

  private:
    std::deque<QString> answers_;
    std::vector<Shown> shown_;
};

class RecordingMessageBox : public MessageBox {
  public:
    struct Shown {
        QString text;
        QString title;
        bool warning = false;  // the warning icon rather than the notice's
    };
    void show(const QString& text, const QString& title) override {
        shown_.push_back({text, title});
    }
    void showWarning(const QString& text, const QString& title) override {
        shown_.push_back({text, title, true});
    }
    const std::vector<Shown>& shown() const { return shown_; }

  private:
    std::vector<Shown> shown_;
};

}  // namespace velmora::testing
