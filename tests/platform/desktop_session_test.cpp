// The desktop session over D-Bus, against mock desktops on private buses:
// the log-off each desktop takes, the fallback where none does, and the
// machine held awake from a hold until its release.

#include "platform/desktop_session.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <optional>

#include "platform/qt_shell.h"
#include "support/mock_desktop.h"

namespace velmora {
namespace {

using testing::MockDesktop;

// Generous: only a fault waits this long.
constexpr int kPatienceMs = 30000;

#define SKIP_WITHOUT(desktop) \
    if (!(desktop).failure().isEmpty()) GTEST_SKIP() << qPrintable((desktop).failure())

std::optional<LogoffWay> waitFor(const std::function<void(Shell::LogoffWayFound)>& ask) {
    std::optional<LogoffWay> answer;
    ask([&](LogoffWay way) { answer = way; });
    (void)QTest::qWaitFor([&] { return answer.has_value(); }, kPatienceMs);
    return answer;
}

// Each desktop's own call, and logind's only where no session manager took one.
TEST(DesktopSession, LogsOffThroughTheDesktopsSessionManagerElseEndsTheSession) {
    struct Case {
        const char* desktop;
        QString service;
        QString call;
        LogoffWay found;
        LogoffWay went;
    };
    const QString logind = QStringLiteral("logind");
    const QString ended = QStringLiteral("TerminateSession \"c7\"");
    const Case cases[] = {
        {"gnome", "org.gnome.SessionManager", "Logout 1", LogoffWay::SessionManager,
         LogoffWay::SessionManager},
        {"mate", "org.mate.SessionManager", "Logout 1", LogoffWay::SessionManager,
         LogoffWay::SessionManager},
        {"cinnamon", "org.cinnamon.SessionManager", "Logout 1", LogoffWay::SessionManager,
         LogoffWay::SessionManager},
        // Plasma 6 starts org.kde.Shutdown when called; Plasma 5 only has ksmserver.
        {"kde", "org.kde.Shutdown", "logout", LogoffWay::SessionManager, LogoffWay::SessionManager},
        {"kde5", "org.kde.ksmserver", "logout 0 0 0", LogoffWay::SessionManager,
         LogoffWay::SessionManager},
        {"xfce", "org.xfce.SessionManager", "Logout False True", LogoffWay::SessionManager,
         LogoffWay::SessionManager},
        {"lxqt", "org.lxqt.session", "logout", LogoffWay::SessionManager,
         LogoffWay::SessionManager},
        {"none", logind, ended, LogoffWay::EndSession, LogoffWay::EndSession},
        // A session manager that refuses is no answer.
        {"gnome-refusing", logind, ended, LogoffWay::SessionManager, LogoffWay::EndSession},
    };
    const QByteArray oldSession = qgetenv("XDG_SESSION_ID");
    qputenv("XDG_SESSION_ID", "c7");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desktop);
        MockDesktop desktop(c.desktop);
        SKIP_WITHOUT(desktop);
        DesktopSession session(desktop.buses());
        EXPECT_EQ(waitFor([&](auto found) { session.findLogoffWay(found); }), c.found);
        EXPECT_EQ(waitFor([&](auto done) { session.logOff(done); }), c.went);
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return desktop.calls(c.service).contains(c.call); }, kPatienceMs))
            << qPrintable(desktop.calls(c.service).join(u'\n'));
        const bool endsSession = c.went == LogoffWay::EndSession;
        EXPECT_EQ(desktop.calls(logind).filter("TerminateSession").size(), endsSession ? 1 : 0);
        if (QLatin1String(c.desktop) == QLatin1String("kde")) {
            EXPECT_TRUE(desktop.calls("org.kde.ksmserver").filter("logout").isEmpty());
        }
    }
    qputenv("XDG_SESSION_ID", oldSession);
    EXPECT_EQ(sessionToEnd(QString()), "auto");
    EXPECT_EQ(sessionToEnd(QStringLiteral(" 7\n")), "7");
}

TEST(DesktopSession, HoldsTheMachineAwakeFromAHoldUntilItsRelease) {
    MockDesktop desktop("gnome");
    SKIP_WITHOUT(desktop);
    DesktopSession session(desktop.buses());
    const QString reason = QStringLiteral("正在压缩 讲座.mp4");
    const QStringList held = {
        "logind sleep:idle Velmora " + reason + " block",
        "org.freedesktop.ScreenSaver " + reason,
        "org.gnome.SessionManager " + reason,
    };
    session.holdAwake(reason);
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop.held() == held; }, kPatienceMs))
        << qPrintable(desktop.held().join(u'\n'));
    // GNOME is asked to hold off suspending (4) and idleness (8).
    EXPECT_TRUE(desktop.calls("org.gnome.SessionManager")
                    .contains("Inhibit \"velmora\" 0 \"" + reason + "\" 12"));
    session.release();
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop.held().isEmpty(); }, kPatienceMs))
        << qPrintable(desktop.held().join(u'\n'));

    // Held again, and let go with the object: a program that ends holds nothing.
    std::optional<DesktopSession> again(std::in_place, desktop.buses());
    again->holdAwake(reason);
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop.held() == held; }, kPatienceMs));
    again.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop.held().isEmpty(); }, kPatienceMs))
        << qPrintable(desktop.held().join(u'\n'));
}

// The desktop answers a second late, after the release: what it hands over
// then is handed back at once; a newer hold keeps its own.
TEST(DesktopSession, ALockThatArrivesAfterItsReleaseIsLetGo) {
    MockDesktop desktop("gnome-slow");
    SKIP_WITHOUT(desktop);
    DesktopSession session(desktop.buses());
    const auto called = [&](const char* method) {
        return !desktop.calls("org.gnome.SessionManager")
                    .filter(method, Qt::CaseInsensitive)
                    .isEmpty() &&
               !desktop.calls("org.freedesktop.ScreenSaver")
                    .filter(method, Qt::CaseInsensitive)
                    .isEmpty();
    };
    session.holdAwake(QStringLiteral("第一个"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return called("Inhibit"); }, kPatienceMs));
    session.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return called("uninhibit"); }, kPatienceMs))
        << "a late cookie was never handed back";
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop.held().isEmpty(); }, kPatienceMs))
        << qPrintable(desktop.held().join(u'\n'));

    session.holdAwake(QStringLiteral("第二个"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop.held().size() == 3; }, kPatienceMs));
    EXPECT_TRUE(desktop.held().filter(QStringLiteral("第一个")).isEmpty());
}

// No bus at all: nothing is held, nothing ends, and nothing waits long.
TEST(DesktopSession, WhereNothingAnswersNothingBreaks) {
    const BusAddresses nowhere{QStringLiteral("unix:path=/nonexistent/velmora-session"),
                               QStringLiteral("unix:path=/nonexistent/velmora-system")};
    DesktopSession session(nowhere);
    session.holdAwake(QStringLiteral("无"));
    EXPECT_EQ(waitFor([&](auto found) { session.findLogoffWay(found); }), LogoffWay::None);
    EXPECT_EQ(waitFor([&](auto done) { session.logOff(done); }), LogoffWay::None);
    session.release();
}

// The shell keeps the machine awake through the session, and ends no logon
// from a test program: none of them is the real program on a real display.
TEST(DesktopSession, TheShellHoldsThroughItAndNeverLogsOffFromATest) {
    MockDesktop desktop("gnome");
    SKIP_WITHOUT(desktop);
    QtShell shell(nullptr, desktop.buses());
    shell.keepAwake(u"正在压缩 a.mp4");
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop.held().size() == 3; }, kPatienceMs))
        << qPrintable(desktop.held().join(u'\n'));
    shell.letSleep();
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop.held().isEmpty(); }, kPatienceMs));

    const QByteArray oldNoLogoff = qgetenv("VELMORA_NO_LOGOFF");
    const bool hadNoLogoff = qEnvironmentVariableIsSet("VELMORA_NO_LOGOFF");
    const QString oldName = QCoreApplication::applicationName();
    qunsetenv("VELMORA_NO_LOGOFF");
    EXPECT_TRUE(logoffRefusal().contains("velmora")) << qPrintable(logoffRefusal());
    // Even named as the real program, there is no real display here.
    QCoreApplication::setApplicationName("velmora");
    EXPECT_TRUE(logoffRefusal().contains("offscreen")) << qPrintable(logoffRefusal());
    shell.exitWindows(0, 0);
    qputenv("VELMORA_NO_LOGOFF", "1");
    EXPECT_TRUE(logoffRefusal().contains("VELMORA_NO_LOGOFF"));
    shell.exitWindows(0, 0);
    QCoreApplication::setApplicationName(oldName);
    if (hadNoLogoff)
        qputenv("VELMORA_NO_LOGOFF", oldNoLogoff);
    else
        qunsetenv("VELMORA_NO_LOGOFF");
    // What a let-through call would have reached by now.
    QTest::qWait(1000);
    EXPECT_TRUE(desktop.calls("org.gnome.SessionManager").filter("Logout").isEmpty());
    EXPECT_TRUE(desktop.calls("logind").filter("TerminateSession").isEmpty());
}

}  // namespace
}  // namespace velmora
