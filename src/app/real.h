#pragma once
// The main window `real`: its controls and menus (built from the layout
// tables) and one event procedure per behaviour. Each section below names
// the file that defines its procedures, in the folder of its subsystem.

#include <QMainWindow>
#include <cstdint>
#include <functional>

#include "app/clock.h"
#include "app/module1.h"
#include "platform/common_dialog.h"
#include "platform/encoder_component.h"
#include "platform/message_box.h"
#include "platform/shell.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMimeData;
class QPushButton;
class QTimer;

namespace velmora {

class LogoffCountdown;

// Everything the window reaches outside itself.
struct Platform {
    EncoderComponent& encoder;
    CommonDialog& dlg1;  // open dialog for the source
    CommonDialog& dlg2;  // save dialog for the destination
    MessageBox& messageBox;
    Shell& shell;
    LogoffCountdown* countdown = nullptr;
    QString programFolder;
    std::function<void()> endProgram;  // ends the process at once
    // The shell's handle numbers for a window and an icon; by default the
    // native window id and the icon's cache key.
    std::function<std::uint32_t(QWidget*)> windowHandle;
    std::function<std::uint32_t(const QIcon&)> iconHandle;
};

// Where the window's frame goes on a screen's available area: the designed
// place when the whole frame fits there, else centred.
QPoint framePlace(const QRect& available, const QSize& frame, const QPoint& designed);

class Real : public QMainWindow {
    Q_OBJECT
  public:
    explicit Real(Platform platform, QWidget* parent = nullptr);
    ~Real() override;

    // Start-up (app/real.cpp, which also builds the window)
    void Form_Load();

    // Encoding job control (encoding/job.cpp)
    void Cmdstart_Click();
    void Cmdstop_Click();
    void ProducerControl1_Notify(const encoder::Notification& n);
    void ProducerControl1_Progress(std::int32_t percent);
    void FinishCompression();
    void Timer_Timer();
    // The folder of the last job's files in the desktop's file manager: from
    // the pane's 打开所在文件夹 and from a click on the tray icon's message.
    // False when no program opened it; the pane then shows the folder.
    bool openJobFolder(const QString& folder);

    // Source and destination (settings/selection.cpp)
    void Cmdopen_Click();
    void Cmdsave_Click();
    // A file named on the command line (`velmora FILE`): the source, exactly
    // as if chosen in the open dialog; nothing reaches the encoder until 开始.
    void openSource(const QString& path);
    // A file dropped on the window: the source, as if chosen in the open
    // dialog. Anything but one file is refused.
    static QString droppedSource(const QMimeData* data);

    // Target audiences and content (settings/option_procedures.cpp)
    void Check_Click(int number);
    void Combo1_Click();
    void Combo2_Click();
    void chooseAudioItem(int index);
    void chooseVideoItem(int index);
    void a315_Click();

    // Tray icon and lifecycle (app/tray.cpp)
    void registerTrayIcon();
    void removeTrayIcon();
    void Form_MouseMove(std::uint32_t mouseMessage);
    void a23_Click();
    void xiansi_Click();
    void a14_Click();
    void Form_QueryUnload();
    void Form_Unload();

    // Auxiliary commands (commands/commands.cpp)
    void a41_Click();
    void a42_Click();
    void a43_Click();
    void a33_Click();
    void Navigate(QWidget* frm, const QString& WebPageURL);

    // Handles as the shell knows them (app/tray.cpp).
    std::uint32_t hWnd() const;
    std::uint32_t hIcon() const;
    std::uint32_t handleOf(QWidget* window) const;
    const Module1& module1() const { return module1_; }

    const ElapsedClock& clock() const { return clock_; }
    QIcon windowIconImage() const;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void buildControls();
    // What a screen reader says of each control, and where a drop goes.
    void nameControls();
    // The tab order, once the component has its view.
    void chainFocus();
    void buildMenus();
    void bindCommands();
    QAction* action(const char* name) const;
    void showChosenSource();

    // Helpers (app/real.cpp), except enterFailedState (encoding/job.cpp)
    // and onCompressionFinished (commands/commands.cpp).
    // Reports a failed call on a component in a message box; true when the
    // call went through.
    bool succeeded(const Status& status);
    void putEncoder(DispId id, const Variant& value);
    void putDialog(CommonDialog& dialog, DispId id, const Variant& value);
    // `filesKept`: the set's first files took their names before a later
    // one failed, and stay.
    void enterFailedState(const QString& message, bool filesKept = false);
    void onCompressionFinished();
    // How a job the window ran ended.
    enum class JobEnd : std::uint8_t { None, Completed, Stopped, Failed };
    // encoding/job.cpp: a job ended; the icon's tip drops the percentage
    // and, while the window is out of sight, the icon says how the job
    // ended and which file it made (several: their count and folder).
    void endJob(JobEnd end);
    // commands/commands.cpp: the only way to end the logon; a start or a
    // stop ends a running countdown or question and leaves the switch as it
    // was.
    void startLogoffCountdown();
    void cancelLogoffCountdown();
    // app/tray.cpp: visible, not minimised, raised and active.
    void bringBack();
    // app/real.cpp: the whole frame on the screen it opens on.
    void keepOnScreen();
    // app/real.cpp: whether Combo1 or Combo2 is reporting an item matched
    // from typed text rather than one chosen from its list.
    static bool typedInto(const QComboBox* combo);

    Platform p_;
    ElapsedClock clock_;
    Module1 module1_;
    QIcon icon_;
    bool jobRunning_ = false;        // from a start that went through to the job's end
    QString jobFile_;                // the running or last job's destination
    int jobFileCount_ = 1;           // its files, one per ticked audience
    JobEnd lastEnd_ = JobEnd::None;  // a failed job kept no files
    bool placed_ = false;            // on its first showing

    QWidget* ProducerControl1 = nullptr;
    QLineEdit* Textopen = nullptr;
    QLineEdit* Textsave = nullptr;
    QPushButton* Cmdopen = nullptr;
    QPushButton* Cmdsave = nullptr;
    QPushButton* Cmdstart = nullptr;
    QPushButton* Cmdstop = nullptr;
    QComboBox* Combo1 = nullptr;
    QComboBox* Combo2 = nullptr;
    QLabel* Labelface = nullptr;
    QLabel* Labelmul = nullptr;
    QLabel* Labeltime = nullptr;
    QTimer* Timer = nullptr;
    QMenu* tuopan = nullptr;
};

}  // namespace velmora
