#pragma once
// Stand-ins for the shell and the logoff countdown: they record every call
// and do nothing outside the process. A test fires the icon's callback and
// answers the countdown itself.

#include <optional>
#include <string>
#include <vector>

#include "platform/countdown.h"
#include "platform/shell.h"
#include "platform/tray_record.h"

namespace velmora::testing {

class RecordingShell : public Shell {
  public:
    struct NotifyCall {
        NotifyIconMessage message;
        NotifyIconRecord record;
        bool result;
    };
    struct AboutCall {
        std::uint32_t ownerWindow;
        std::string applicationText;
        std::string otherText;
        std::uint32_t iconHandle;
    };
    struct ExecuteCall {
        std::uint32_t window;
        std::string verb;
        std::string file;
        std::string parameters;
        std::string directory;
        std::int32_t showCommand;
    };
    struct ExitCall {
        std::uint32_t reserved;
        std::uint32_t returnCode;
    };

    // Holds at most one icon, as the program has one. Answers as the real
    // shell does: an add fails while an icon is there, a delete for an icon
    // that is not.
    bool notifyIcon(NotifyIconMessage message, const NotifyIconRecord& record) override;
    void setIconCallback(IconCallback callback) override { callback_ = std::move(callback); }
    void about(std::uint32_t ownerWindow, const std::string& applicationText,
               const std::string& otherText, std::uint32_t iconHandle) override {
        abouts_.push_back({ownerWindow, applicationText, otherText, iconHandle});
    }
    void execute(std::uint32_t window, const std::string& verb, const std::string& file,
                 const std::string& parameters, const std::string& directory,
                 std::int32_t showCommand) override {
        executes_.push_back({window, verb, file, parameters, directory, showCommand});
    }
    bool openFolder(const std::u16string& folder) override {
        folders_.push_back(folder);
        return opensFolders_;
    }
    void exitWindows(std::uint32_t reserved, std::uint32_t returnCode) override {
        exits_.push_back({reserved, returnCode});
    }
    void findLogoffWay(LogoffWayFound found) override { wayAsked_.push_back(std::move(found)); }
    void keepAwake(const std::u16string& reason) override {
        keepAwakeCalls_.push_back(reason);
        awake_ = true;
    }
    void letSleep() override { awake_ = false; }
    bool hasNotificationArea() const override { return hasNotificationArea_; }
    void setIconTip(std::uint32_t window, std::uint32_t id, const std::u16string& tip) override;
    void showIconMessage(std::uint32_t window, std::uint32_t id, const std::u16string& title,
                         const std::u16string& text) override;

    // A desktop without a notification area (plain GNOME).
    void setHasNotificationArea(bool has) { hasNotificationArea_ = has; }
    // A desktop without a file manager: every folder opened is refused.
    void setOpensFolders(bool opens) { opensFolders_ = opens; }
    // The desktop's answer to every findLogoffWay() asked so far; false when
    // none was asked.
    bool answerLogoffWay(LogoffWay way);
    // Whether the machine is held awake now, and every reason it was held for.
    bool awake() const { return awake_; }
    const std::vector<std::u16string>& keepAwakeCalls() const { return keepAwakeCalls_; }
    // The shown icon's tip as last set (the record's tip until then), and
    // the messages shown on it as "title|text".
    std::u16string iconTip() const { return tip_; }
    const std::vector<std::u16string>& iconMessages() const { return messages_; }

    // What the user does to the icon: calls the window's callback with the
    // window handle of the icon shown, as the shell would. Returns false when
    // no icon is shown or the window set no callback.
    bool fireIcon(std::uint32_t mouseMessage);

    const std::vector<NotifyCall>& notifyCalls() const { return notifies_; }
    int count(NotifyIconMessage message) const;
    // The icon shown now, as parsed from its record.
    std::optional<ParsedNotifyIcon> shownIcon() const { return shown_; }
    const std::vector<AboutCall>& aboutCalls() const { return abouts_; }
    const std::vector<ExecuteCall>& executeCalls() const { return executes_; }
    const std::vector<ExitCall>& exitCalls() const { return exits_; }
    // Every folder opened, in order.
    const std::vector<std::u16string>& openedFolders() const { return folders_; }
    bool hasCallback() const { return static_cast<bool>(callback_); }

  private:
    std::vector<NotifyCall> notifies_;
    std::vector<AboutCall> abouts_;
    std::vector<ExecuteCall> executes_;
    std::vector<ExitCall> exits_;
    std::vector<std::u16string> folders_;
    std::optional<ParsedNotifyIcon> shown_;
    IconCallback callback_;
    bool hasNotificationArea_ = true;
    bool opensFolders_ = true;
    std::vector<LogoffWayFound> wayAsked_;
    bool awake_ = false;
    std::vector<std::u16string> keepAwakeCalls_;
    std::u16string tip_;
    std::vector<std::u16string> messages_;
};

class RecordingCountdown : public LogoffCountdown {
  public:
    void start(int seconds, Done done) override;
    void cancel() override;
    void setLogoffWay(LogoffWay way) override { way_ = way; }
    bool running() const override { return static_cast<bool>(done_); }
    // What the countdown was last told of how the logon will end.
    std::optional<LogoffWay> logoffWay() const { return way_; }

    // The countdown's end as the user or the clock brings it: true when the
    // seconds ran out, false when the user cancelled. Returns false when no
    // countdown runs.
    bool finish(bool confirmed);

    void ask(int countdownSeconds, Answered answered) override;
    void withdraw() override { answered_ = nullptr; }
    bool asking() const override { return static_cast<bool>(answered_); }
    // The user's answer to the open question; false when none is open.
    bool answer(LogoffWhen when);

    // The seconds of every start, in order.
    const std::vector<int>& starts() const { return starts_; }
    int cancels() const { return cancels_; }
    // The countdown's seconds of every question asked, in order.
    const std::vector<int>& questions() const { return questions_; }

  private:
    std::vector<int> starts_;
    int cancels_ = 0;
    std::optional<LogoffWay> way_;
    Done done_;
    std::vector<int> questions_;
    Answered answered_;
};

}  // namespace velmora::testing
