#pragma once
// The encoder component as the window sees it: a dispatch target that raises
// notifications and may draw itself into a rectangle of the window.

#include <QString>
#include <functional>

#include "platform/encoder_contract.h"

class QLineEdit;
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

    // What the view may read of the window and ask of it: the two text boxes
    // of the source and the destination, which it reads for its plan of the
    // next job (the names reach the component only at Start), and the way
    // to open a folder in the desktop's file manager. Components without a
    // view ignore it.
    struct ViewLinks {
        const QLineEdit* source = nullptr;
        const QLineEdit* destination = nullptr;
        std::function<void(const QString& folder)> openFolder;
    };
    virtual void linkView(const ViewLinks& links) { (void)links; }

    // No program could open `folder` (openFolder above): the view says so
    // and shows the folder's name, to be copied. Components without a view
    // ignore it.
    virtual void showFolderNotOpened(const QString& folder) { (void)folder; }
};

}  // namespace velmora
