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
#include "support/qt_printers.h"
#include "support/recording_dialogs.h"
#include "support/recording_encoder.h"
#include "support/recording_shell.h"

namespace velmora::testing {

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window = std::make_unique<Real>(Platform{
            .encoder = encoder,
            .dlg1 = dlg1,
            .dlg2 = dlg2,
            .messageBox = messageBox,
            .shell = shell,
            .countdown = &countdown,
            .programFolder = "/opt/velmora/bin",
            .endProgram = [this] { ++programEnds; },
            .windowHandle = {},
            .iconHandle = {},
        });
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

    RecordingEncoder encoder;
    RecordingDialog dlg1;
    RecordingDialog dlg2;
    RecordingMessageBox messageBox;
    RecordingShell shell;
    RecordingCountdown countdown;
    int programEnds = 0;
    std::unique_ptr<Real> window;
};

}  // namespace velmora::testing
