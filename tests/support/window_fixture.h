#pragma once
// Builds the real window over recording stand-ins for everything outside it.

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app/real.h"
#include "app/window_parts.h"
#include "platform/countdown.h"
#include "support/qt_printers.h"
#include "support/recording_dialogs.h"
#include "support/recording_encoder.h"
#include "support/recording_shell.h"

namespace velmora::testing {

// The log-off dialogs are a stand-in too unless a test asks for the real ones.
template <typename Countdown>
class BasicWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window =
            std::make_unique<Real>(parts.platform("/opt/velmora/bin", [this] { ++programEnds; }));
        if constexpr (requires { parts.countdown.setParent(window.get()); })
            parts.countdown.setParent(window.get());
    }

    // Start-up as the program does it, then forget its encoder writes.
    void load() {
        window->Form_Load();
        encoder.clear();
    }

    template <typename T>
    T* get(const char* name) const {
        T* w = window->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString text(const char* label) const { return get<QLabel>(label)->text(); }
    QAction* action(const char* name) const { return get<QAction>(name); }
    bool enabled(const char* button) const { return get<QPushButton>(button)->isEnabled(); }
    bool timerOn() const { return get<QTimer>("Timer")->isActive(); }

    WindowParts<RecordingEncoder, RecordingDialog, RecordingMessageBox, RecordingShell, Countdown>
        parts;
    RecordingEncoder& encoder = parts.encoder;
    RecordingDialog& dlg1 = parts.dlg1;
    RecordingDialog& dlg2 = parts.dlg2;
    RecordingMessageBox& messageBox = parts.messageBox;
    RecordingShell& shell = parts.shell;
    Countdown& countdown = parts.countdown;
    int programEnds = 0;
    std::unique_ptr<Real> window;
};

using WindowTest = BasicWindowTest<RecordingCountdown>;

}  // namespace velmora::testing
