#pragma once
// The encoder component as the window sees it: a dispatch target that raises
// notifications and may draw itself into a rectangle of the window.

#include <functional>

#include "platform/encoder_contract.h"

class QWidget;

namespace velmora {

class EncoderComponent : public DispatchTarget {
  public:
    using NotificationSink = std::function<void(const encoder::Notification&)>;

    // The sink is called on the window's thread only, never re-entrantly
    // from inside put() or invoke().
    virtual void setNotificationSink(NotificationSink sink) = 0;

    // Lets the component draw itself inside `host` (the window's rectangle
    // for it). Components without a view ignore it.
    virtual void attachView(QWidget* host) { (void)host; }
};

}  // namespace velmora
