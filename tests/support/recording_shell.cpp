#include "support/recording_shell.h"

#include <algorithm>
#include <utility>

#include "platform/ansi.h"

namespace velmora::testing {

bool RecordingShell::notifyIcon(NotifyIconMessage message, const NotifyIconRecord& record) {
    const ParsedNotifyIcon fields = parseNotifyIconRecord(record);
    const bool same = shown_ && shown_->hWnd == fields.hWnd && shown_->uID == fields.uID;
    bool result = false;
    if (message == NotifyIconMessage::Add && !shown_) {
        shown_ = fields;
        tip_ = ansi::toQString(fields.tip).toStdU16String();
        result = true;
    } else if (message == NotifyIconMessage::Delete && same) {
        shown_.reset();
        result = true;
    }
    notifies_.push_back({message, record, result});
    return result;
}

// Only the icon that is shown, as the real shell does.
void RecordingShell::setIconTip(std::uint32_t window, std::uint32_t id, const std::u16string& tip) {
    if (shown_ && shown_->hWnd == window && shown_->uID == id) tip_ = tip;
}

void RecordingShell::showIconMessage(std::uint32_t window, std::uint32_t id,
                                     const std::u16string& title, const std::u16string& text) {
    if (shown_ && shown_->hWnd == window && shown_->uID == id)
        messages_.push_back(title + u"|" + text);
}

bool RecordingShell::fireIcon(std::uint32_t mouseMessage) {
    if (!shown_ || !callback_) return false;
    const IconCallback callback = callback_;
    callback(shown_->hWnd, mouseMessage);
    return true;
}

bool RecordingShell::answerLogoffWay(LogoffWay way) {
    if (wayAsked_.empty()) return false;
    for (const LogoffWayFound& found : std::exchange(wayAsked_, {})) found(way);
    return true;
}

int RecordingShell::count(NotifyIconMessage message) const {
    return static_cast<int>(
        std::count_if(notifies_.begin(), notifies_.end(),
                      [message](const NotifyCall& c) { return c.message == message; }));
}

void RecordingCountdown::start(int seconds, Done done) {
    if (running()) finish(false);
    starts_.push_back(seconds);
    done_ = std::move(done);
}

void RecordingCountdown::cancel() {
    ++cancels_;
    if (running()) finish(false);
}

bool RecordingCountdown::finish(bool confirmed) {
    if (!running()) return false;
    Done callback = std::move(done_);
    done_ = nullptr;
    callback(confirmed);
    return true;
}

void RecordingCountdown::ask(int countdownSeconds, Answered answered) {
    questions_.push_back(countdownSeconds);
    answered_ = std::move(answered);
}

bool RecordingCountdown::answer(LogoffWhen when) {
    if (!asking()) return false;
    Answered callback = std::move(answered_);
    answered_ = nullptr;
    callback(when);
    return true;
}

}  // namespace velmora::testing
