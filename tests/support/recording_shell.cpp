#include "support/recording_shell.h"

#include <algorithm>

namespace velmora::testing {

bool RecordingShell::notifyIcon(NotifyIconMessage message, const NotifyIconRecord& record) {
    const ParsedNotifyIcon fields = parseNotifyIconRecord(record);
    const bool same = shown_ && shown_->hWnd == fields.hWnd && shown_->uID == fields.uID;
    bool result = false;
    if (message == NotifyIconMessage::Add && !shown_) {
        shown_ = fields;
        result = true;
    } else if (message == NotifyIconMessage::Delete && same) {
        shown_.reset();
        result = true;
    }
    notifies_.push_back({message, record, result});
    return result;
}

bool RecordingShell::fireIcon(std::uint32_t mouseMessage) {
    if (!shown_ || !callback_) return false;
    const IconCallback callback = callback_;
    callback(shown_->hWnd, mouseMessage);
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

}  // namespace velmora::testing
