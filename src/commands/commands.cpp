// About box, help, home page and the switch that ends the logon once a
// compression has finished.

#include <QAction>
#include <QLabel>
#include <QPointer>

#include "app/real.h"
#include "platform/ansi.h"
#include "platform/countdown.h"
#include "platform/qt_text.h"
#include "texts/window_texts.h"

namespace velmora {

namespace {
constexpr int kLogoffCountdownSeconds = 30;
}  // namespace

void Real::a41_Click() {
    p_.messageBox.show(qs(text::kHelpText), qs(text::kHelpTitle));
}

void Real::a42_Click() {
    Navigate(this, qs(text::kHomePage));
}

void Real::Navigate(QWidget* frm, const QString& WebPageURL) {
    constexpr std::int32_t kShowNormal = 1;
    p_.shell.execute(handleOf(frm), ansi::toAnsi(QStringLiteral("open")), ansi::toAnsi(WebPageURL),
                     "", "", kShowNormal);
}

void Real::a43_Click() {
    const QString other = qs(text::kTitle) + QStringLiteral("\r\n") + qs(text::kCopyright) +
                          QStringLiteral("\r\n") + qs(text::kAuthor);
    p_.shell.about(hWnd(), ansi::toAnsi(qs(text::kAboutApplication)), ansi::toAnsi(other), hIcon());
}

void Real::a33_Click() {
    // The action is checkable: the click has already toggled the mark.
    if (!action("a33")->isChecked()) {
        // Clearing the switch never ends the logon, and takes back a
        // question or a countdown already running.
        if (p_.countdown) {
            p_.countdown->withdraw();
            p_.countdown->cancel();
        }
        return;
    }
    // With no job finished, the switch waits for the next job's end.
    if (Labelface->text() != qs(text::kCompleted) || !p_.countdown) return;
    // A finished job is showing: the user may be ticking the switch for the
    // next job while picking its files. Ending the logon takes every unsaved
    // document of the session, so ask, and count nothing down until the
    // answer is "now".
    QAction* a33 = action("a33");
    p_.countdown->ask(kLogoffCountdownSeconds, [this, a33](LogoffWhen when) {
        if (!a33->isChecked()) return;
        if (when == LogoffWhen::Now) startLogoffCountdown();
        if (when == LogoffWhen::Never) a33->setChecked(false);
    });
}

void Real::onCompressionFinished() {
    if (action("a33")->isChecked()) startLogoffCountdown();
}

void Real::startLogoffCountdown() {
    QAction* a33 = action("a33");
    if (!p_.countdown) return;
    p_.countdown->start(kLogoffCountdownSeconds, [this, a33](bool confirmed) {
        if (confirmed && a33->isChecked()) {
            p_.shell.exitWindows(0, 0);
        } else {
            a33->setChecked(false);
        }
    });
    // Whether the other programs get to save first decides what the
    // countdown warns of.
    p_.shell.findLogoffWay([self = QPointer<Real>(this)](LogoffWay way) {
        if (self && self->p_.countdown) self->p_.countdown->setLogoffWay(way);
    });
}

void Real::cancelLogoffCountdown() {
    if (!p_.countdown) return;
    // An open question is left as its default answer: the switch stays on
    // for the job now starting.
    p_.countdown->withdraw();
    if (!p_.countdown->running()) return;
    QAction* a33 = action("a33");
    const bool on = a33->isChecked();
    p_.countdown->cancel();
    a33->setChecked(on);
}

}  // namespace velmora
