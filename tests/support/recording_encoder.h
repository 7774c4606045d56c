#pragma once
// A stand-in for the encoder component that records every write and call,
// can be told to fail, and raises notifications when a test asks it to.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/encoder_component.h"

namespace velmora::testing {

struct EncoderCall {
    enum class Kind { Put, Invoke };
    Kind kind;
    DispId id;
    Variant value;  // empty for Invoke
};

class RecordingEncoder : public EncoderComponent {
  public:
    Status put(DispId id, const Variant& value) override;
    Status invoke(DispId id) override;
    void setNotificationSink(NotificationSink sink) override { sink_ = std::move(sink); }
    void showFolderNotOpened(const QString& folder) override {
        foldersNotOpened_.push_back(folder);
    }
    // Every folder the window said it could not open, in order.
    const std::vector<QString>& foldersNotOpened() const { return foldersNotOpened_; }

    // Makes the next and every later call of `id` fail with `message`.
    void failOn(DispId id, std::string message) { failures_[id] = std::move(message); }
    // Called after each recorded call; lets a test look at the window then.
    void setObserver(std::function<void(const EncoderCall&)> observer) {
        observer_ = std::move(observer);
    }

    // Raises a notification as the real component would (on this thread).
    void raise(DispId event, Variant a1 = {}, Variant a2 = {}, Variant a3 = {}, Variant a4 = {});
    void raiseProgress(std::int32_t percent);

    const std::vector<EncoderCall>& calls() const { return calls_; }
    std::vector<DispId> ids() const;
    std::vector<EncoderCall> callsOf(DispId id) const;
    int count(DispId id) const { return static_cast<int>(callsOf(id).size()); }
    void clear() { calls_.clear(); }

  private:
    std::vector<EncoderCall> calls_;
    std::vector<QString> foldersNotOpened_;
    std::map<DispId, std::string> failures_;
    NotificationSink sink_;
    std::function<void(const EncoderCall&)> observer_;
};

}  // namespace velmora::testing
