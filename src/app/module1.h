#pragma once
// The program's module-level data: the notification-area icon's record,
// filled once at start-up and passed unchanged to every add and remove.

#include "platform/tray_record.h"

namespace velmora {

// The window owns the one instance.
struct Module1 {
    TrayIconData TrayIcon;
};

}  // namespace velmora
