#pragma once
// A test-only window into the running program: when VELMORA_STATE_FILE names
// a file, each SIGUSR1 makes the program write the state of its named
// controls there (one "name<TAB>value" line each, UTF-8), then rename it into
// place so a reader never sees half a report. Without the variable nothing
// is installed and nothing changes.

#include <QObject>
#include <QString>

class QWidget;

namespace velmora {

// The report itself: every named control and menu entry under `window`,
// sorted by name. Labels, buttons, frames and text boxes give their text,
// check boxes and checkable actions "1" or "0", combo boxes their text; each
// line also tells whether the control is enabled and visible. The line
// "focus" names the widget with the keyboard focus, in any of the program's
// windows.
QString describeControls(const QWidget* window);

class StateReporter : public QObject {
    Q_OBJECT
  public:
    // Installs the reporter when VELMORA_STATE_FILE is set; returns null
    // otherwise.
    static StateReporter* installFromEnvironment(QWidget* window);

  private:
    StateReporter(QWidget* window, QString path);
    void write();

    QWidget* window_;
    QString path_;
};

}  // namespace velmora
