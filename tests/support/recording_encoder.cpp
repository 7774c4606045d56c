#include "support/recording_encoder.h"

namespace velmora::testing {

Status RecordingEncoder::put(DispId id, const Variant& value) {
    calls_.push_back({EncoderCall::Kind::Put, id, value});
    if (observer_) observer_(calls_.back());
    if (auto it = failures_.find(id); it != failures_.end())
        return Status::fail(ErrorKind::BadRequest, it->second);
    return Status::ok();
}

Status RecordingEncoder::invoke(DispId id) {
    calls_.push_back({EncoderCall::Kind::Invoke, id, Variant()});
    if (observer_) observer_(calls_.back());
    if (auto it = failures_.find(id); it != failures_.end())
        return Status::fail(ErrorKind::BadRequest, it->second);
    return Status::ok();
}

void RecordingEncoder::raise(DispId event, Variant a1, Variant a2, Variant a3, Variant a4) {
    if (sink_)
        sink_(encoder::Notification{event,
                                    {std::move(a1), std::move(a2), std::move(a3), std::move(a4)}});
}

void RecordingEncoder::raiseProgress(std::int32_t percent) {
    raise(encoder::event::Progress, Variant::long_(0), Variant::long_(0), Variant::long_(percent),
          Variant::long_(0));
}

std::vector<DispId> RecordingEncoder::ids() const {
    std::vector<DispId> out;
    for (const auto& c : calls_) out.push_back(c.id);
    return out;
}

std::vector<EncoderCall> RecordingEncoder::callsOf(DispId id) const {
    std::vector<EncoderCall> out;
    for (const auto& c : calls_)
        if (c.id == id) out.push_back(c);
    return out;
}

}  // namespace velmora::testing
