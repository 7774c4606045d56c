#pragma once
// The window's outside world, owned together: the program builds one from
// the real parts, the tests and the window benchmark from stand-ins, and all
// wire the window the same way.

#include <QString>
#include <functional>
#include <utility>

#include "app/real.h"

namespace velmora {

template <typename Encoder, typename Dialog, typename Box, typename ShellImpl, typename Countdown>
struct WindowParts {
    Encoder encoder;
    Dialog dlg1;  // open dialog for the source
    Dialog dlg2;  // save dialog for the destination
    Box messageBox;
    ShellImpl shell;
    Countdown countdown;

    // The handle functions stay empty (the window's defaults) unless the
    // caller sets them afterwards.
    Platform platform(QString programFolder, std::function<void()> endProgram) {
        return Platform{
            .encoder = encoder,
            .dlg1 = dlg1,
            .dlg2 = dlg2,
            .messageBox = messageBox,
            .shell = shell,
            .countdown = &countdown,
            .programFolder = std::move(programFolder),
            .endProgram = std::move(endProgram),
            .windowHandle = {},
            .iconHandle = {},
        };
    }
};

}  // namespace velmora
