#include "platform/qt_shell.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QPixmap>
#include <QUrl>
#include <QWidget>
#include <QtTest/QTest>

#include "platform/ansi.h"
#include "platform/tray_record.h"

namespace velmora {
namespace {

QIcon redIcon() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::red);
    return QIcon(pixmap);
}

class QtShellTest : public ::testing::Test {
  protected:
    void SetUp() override {
        windowHandle = shell.registerWindow(&window);
        iconHandle = shell.registerIcon(icon);
        fillTrayIcon(record, windowHandle, iconHandle);
        shell.setIconCallback(
            [this](std::uint32_t w, std::uint32_t m) { calls.emplace_back(w, m); });
    }

    QWidget window;
    QIcon icon = redIcon();
    QtShell shell;
    std::uint32_t windowHandle = 0;
    std::uint32_t iconHandle = 0;
    TrayIconData record;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;
};

TEST_F(QtShellTest, HandlesAreDistinctNonZeroAndStable) {
    EXPECT_NE(windowHandle, 0u);
    EXPECT_NE(iconHandle, 0u);
    EXPECT_NE(windowHandle, iconHandle);
    EXPECT_EQ(shell.registerWindow(&window), windowHandle);
    EXPECT_EQ(shell.registerIcon(QIcon(icon)), iconHandle);  // a copy is the same icon
    EXPECT_EQ(shell.window(windowHandle), &window);
    EXPECT_EQ(shell.icon(iconHandle).cacheKey(), icon.cacheKey());
    EXPECT_EQ(shell.window(iconHandle), nullptr);
    EXPECT_TRUE(shell.icon(windowHandle).isNull());
}

TEST_F(QtShellTest, AddShowsTheIconWithItsTipAndDeleteRemovesItOnce) {
    ASSERT_TRUE(notifyIcon(shell, NotifyIconMessage::Add, record));
    QSystemTrayIcon* tray = shell.trayIcon(windowHandle, iconHandle);
    ASSERT_NE(tray, nullptr);
    EXPECT_TRUE(tray->isVisible());
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Velmorav1.0"));
    EXPECT_EQ(tray->icon().cacheKey(), icon.cacheKey());
    EXPECT_FALSE(notifyIcon(shell, NotifyIconMessage::Add, record));  // already there

    EXPECT_TRUE(notifyIcon(shell, NotifyIconMessage::Delete, record));
    EXPECT_EQ(shell.trayIcon(windowHandle, iconHandle), nullptr);
    EXPECT_FALSE(
        notifyIcon(shell, NotifyIconMessage::Delete, record));  // the second removal on close
    // Gone means gone: a later activation of the old object reaches nobody.
    EXPECT_TRUE(calls.empty());

    EXPECT_TRUE(notifyIcon(shell, NotifyIconMessage::Add, record));  // and may come back
}

TEST_F(QtShellTest, RefusesRecordsItCannotHonour) {
    TrayIconData bad = record;
    bad.cbSize = 0;
    EXPECT_FALSE(notifyIcon(shell, NotifyIconMessage::Add, bad));
    bad = record;
    bad.hWnd = 9999;
    EXPECT_FALSE(notifyIcon(shell, NotifyIconMessage::Add, bad));
    bad = record;
    bad.hIcon = 9999;
    EXPECT_FALSE(notifyIcon(shell, NotifyIconMessage::Add, bad));
    EXPECT_EQ(shell.trayIcon(windowHandle, iconHandle), nullptr);

    // A delete names the icon by window and id, not by the rest.
    ASSERT_TRUE(notifyIcon(shell, NotifyIconMessage::Add, record));
    bad = record;
    bad.uID = iconHandle + 1;
    EXPECT_FALSE(notifyIcon(shell, NotifyIconMessage::Delete, bad));
    EXPECT_NE(shell.trayIcon(windowHandle, iconHandle), nullptr);
}

TEST_F(QtShellTest, ChineseTipIsDecodedFromGbk) {
    assignFixed(record.szTip, kTipLength, std::u16string(u"压缩完成\0", 5));
    ASSERT_TRUE(notifyIcon(shell, NotifyIconMessage::Add, record));
    EXPECT_EQ(shell.trayIcon(windowHandle, iconHandle)->toolTip(), QStringLiteral("压缩完成"));
}

TEST_F(QtShellTest, TipAndMessageGoThroughTheIconAndLeaveTheRecordAlone) {
    shell.setIconTip(windowHandle, iconHandle, u"不在");  // no icon yet: nothing
    shell.showIconMessage(windowHandle, iconHandle, u"压缩完成", u"a.rm");
    ASSERT_TRUE(notifyIcon(shell, NotifyIconMessage::Add, record));
    QSystemTrayIcon* tray = shell.trayIcon(windowHandle, iconHandle);
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Velmorav1.0"));
    shell.setIconTip(windowHandle, iconHandle, u"Velmorav1.0 以压缩45%");
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Velmorav1.0 以压缩45%"));
    shell.setIconTip(windowHandle, iconHandle + 1, u"别的图标");
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Velmorav1.0 以压缩45%"));
    shell.showIconMessage(windowHandle, iconHandle, u"压缩完成", u"a.rm");  // must not block
    emit tray->messageClicked();  // a click on the message, told apart from one on the icon
    EXPECT_EQ(calls, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                         {windowHandle, mouse::MessageClick}}));
    // Delete and add again: the icon is as the record says.
    ASSERT_TRUE(notifyIcon(shell, NotifyIconMessage::Delete, record));
    ASSERT_TRUE(notifyIcon(shell, NotifyIconMessage::Add, record));
    EXPECT_EQ(shell.trayIcon(windowHandle, iconHandle)->toolTip(), QStringLiteral("Velmorav1.0"));
}

TEST_F(QtShellTest, ActivationsReachTheWindowAsMouseMessages) {
    ASSERT_TRUE(notifyIcon(shell, NotifyIconMessage::Add, record));
    QSystemTrayIcon* tray = shell.trayIcon(windowHandle, iconHandle);
    emit tray->activated(QSystemTrayIcon::Trigger);
    emit tray->activated(QSystemTrayIcon::Context);
    emit tray->activated(QSystemTrayIcon::DoubleClick);
    emit tray->activated(QSystemTrayIcon::MiddleClick);
    emit tray->activated(QSystemTrayIcon::Unknown);
    using Call = std::pair<std::uint32_t, std::uint32_t>;
    EXPECT_EQ(
        calls,
        (std::vector<Call>{
            {windowHandle, 513}, {windowHandle, 516}, {windowHandle, 515}, {windowHandle, 519}}));
    EXPECT_EQ(tray->contextMenu(), nullptr);  // the window pops up its own menu
}

TEST_F(QtShellTest, IconWithoutTheMessageFlagReportsNothing) {
    record.uFlags = nif::Icon | nif::Tip;
    ASSERT_TRUE(notifyIcon(shell, NotifyIconMessage::Add, record));
    emit shell.trayIcon(windowHandle, iconHandle)->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(calls.empty());
}

TEST_F(QtShellTest, TheIconMayBeRemovedFromItsOwnCallback) {
    ASSERT_TRUE(notifyIcon(shell, NotifyIconMessage::Add, record));
    bool removed = false;
    shell.setIconCallback([&](std::uint32_t, std::uint32_t) {
        removed = notifyIcon(shell, NotifyIconMessage::Delete, record);
    });
    emit shell.trayIcon(windowHandle, iconHandle)->activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(removed);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(shell.trayIcon(windowHandle, iconHandle), nullptr);
}

TEST_F(QtShellTest, AboutBoxShowsTheTextsAndTheRegisteredIcon) {
    window.show();
    shell.about(windowHandle, ansi::toAnsi(u"Velmora窗口"),
                ansi::toAnsi(u"Velmorav1.0\r\n版权所有\r\n作者"), iconHandle);
    QMessageBox* box = shell.aboutBox();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->parentWidget(), &window);
    EXPECT_EQ(box->windowTitle(), QStringLiteral("关于 Velmora窗口"));
    EXPECT_EQ(box->text(), QStringLiteral("Velmora窗口\nVelmorav1.0\n版权所有\n作者"));
    EXPECT_FALSE(box->iconPixmap().isNull());

    // "title#first line" splits as the system's box does; a second box
    // replaces the first.
    shell.about(windowHandle, "Title#Line", "x", 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_NE(shell.aboutBox(), nullptr);
    EXPECT_EQ(shell.aboutBox()->windowTitle(), QStringLiteral("Title"));
    EXPECT_EQ(shell.aboutBox()->text(), QStringLiteral("Line\nx"));
    EXPECT_EQ(window.findChildren<QMessageBox*>().size(), 1);
    shell.aboutBox()->close();
}

// Takes the URLs that would go to the browser.
class UrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls << url; }
};

TEST_F(QtShellTest, OpenHandsTheAddressToTheDesktop) {
    UrlCatcher catcher;
    for (const char* scheme : {"http", "https"})
        QDesktopServices::setUrlHandler(scheme, &catcher, "open");
    shell.execute(windowHandle, "open", "https://velmora.example/update?v=1.0", "", "", 1);
    shell.execute(windowHandle, "", "www.velmora.example", "", "", 1);
    shell.execute(windowHandle, "print", "https://velmora.example/", "", "",
                  1);  // not a verb we know
    for (const char* scheme : {"http", "https"}) QDesktopServices::unsetUrlHandler(scheme);
    ASSERT_EQ(catcher.urls.size(), 2);
    EXPECT_EQ(catcher.urls[0], QUrl("https://velmora.example/update?v=1.0"));
    EXPECT_EQ(catcher.urls[1].host(), QStringLiteral("www.velmora.example"));
}

}  // namespace
}  // namespace velmora

#include "qt_shell_test.moc"
