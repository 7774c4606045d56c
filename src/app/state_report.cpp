#include "app/state_report.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QSaveFile>
#include <QTimer>
#include <csignal>
#include <map>

#include "app/signal_watch.h"

namespace velmora {

namespace {

QString oneLine(QString s) {
    return s.replace(u'\n', u' ').replace(u'\t', u' ');
}

}  // namespace

QString describeControls(const QWidget* window) {
    std::map<QString, QString> lines;
    for (QObject* o : window->findChildren<QObject*>()) {
        const QString name = o->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_"))) continue;
        QString value;
        bool enabled = true;
        bool visible = true;
        if (auto* w = qobject_cast<QWidget*>(o)) {
            enabled = w->isEnabled();
            visible = w->isVisible();
        }
        if (auto* box = qobject_cast<QCheckBox*>(o)) {
            value = box->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
        } else if (auto* label = qobject_cast<QLabel*>(o)) {
            value = label->text();
        } else if (auto* button = qobject_cast<QAbstractButton*>(o)) {
            value = button->text();
        } else if (auto* edit = qobject_cast<QLineEdit*>(o)) {
            value = edit->text();
        } else if (auto* combo = qobject_cast<QComboBox*>(o)) {
            value = combo->currentText();
        } else if (auto* frame = qobject_cast<QGroupBox*>(o)) {
            value = frame->title();
        } else if (auto* action = qobject_cast<QAction*>(o)) {
            value = action->isCheckable()
                        ? (action->isChecked() ? QStringLiteral("1") : QStringLiteral("0"))
                        : action->text();
            enabled = action->isEnabled();
            visible = action->isVisible();
        } else if (auto* timer = qobject_cast<QTimer*>(o)) {
            value = timer->isActive() ? QStringLiteral("1") : QStringLiteral("0");
        } else if (!qobject_cast<QWidget*>(o)) {
            continue;
        }
        lines[name] = name + u'\t' + oneLine(value) + u'\t' + (enabled ? u'1' : u'0') +
                      (visible ? u'1' : u'0');
    }
    // The widget with the keyboard focus, by name, in whichever window.
    const QWidget* focus = QApplication::focusWidget();
    lines[QStringLiteral("focus")] =
        QStringLiteral("focus\t%1\t11").arg(focus ? focus->objectName() : QString());
    lines[QStringLiteral("real")] = QStringLiteral("real\t%1\t1%2")
                                        .arg(oneLine(window->windowTitle()))
                                        .arg(window->isVisible() ? 1 : 0);
    QString out;
    for (const auto& [name, line] : lines) out += line + u'\n';
    return out;
}

StateReporter* StateReporter::installFromEnvironment(QWidget* window) {
    const QString path = qEnvironmentVariable("VELMORA_STATE_FILE");
    if (path.isEmpty()) return nullptr;
    return new StateReporter(window, path);
}

StateReporter::StateReporter(QWidget* window, QString path)
    : QObject(window), window_(window), path_(std::move(path)) {
    connect(new SignalWatch({SIGUSR1}, this), &SignalWatch::caught, this, [this] { write(); });
}

void StateReporter::write() {
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly)) return;
    file.write(describeControls(window_).toUtf8());
    file.commit();
}

}  // namespace velmora
