#include "platform/checkable_menu_item.h"

#include <QAccessible>
#include <QAccessibleInterface>
#include <QAction>
#include <QMenu>
#include <QPointer>

namespace velmora {

namespace {

// What Qt's menu entry tells, as a check box.
class CheckableMenuItem : public QAccessibleInterface, public QAccessibleActionInterface {
  public:
    explicit CheckableMenuItem(QAction* action) : action_(action) {}

    bool isValid() const override { return action_ && menu(); }
    QObject* object() const override { return action_; }
    QWindow* window() const override {
        QMenu* m = menu();
        return m ? m->window()->windowHandle() : nullptr;
    }
    QAccessibleInterface* parent() const override {
        return QAccessible::queryAccessibleInterface(menu());
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        if (!action_) return {};
        if (t == QAccessible::Name) return QString(action_->text()).remove(u'&');
        if (t == QAccessible::Accelerator) return action_->shortcut().toString();
        return {};
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        QMenu* m = menu();
        if (!m) return {};
        return m->actionGeometry(action_).translated(m->mapToGlobal(QPoint(0, 0)));
    }
    QAccessible::Role role() const override { return QAccessible::CheckBox; }
    QAccessible::State state() const override {
        QAccessible::State s;
        QMenu* m = menu();
        if (!action_ || !m) {
            s.invalid = true;
            return s;
        }
        s.invisible = !m->isVisible() || !action_->isVisible();
        s.disabled = !action_->isEnabled();
        s.focused = m->activeAction() == action_;
        s.checkable = true;
        s.checked = action_->isChecked();
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        return t == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                 : nullptr;
    }
    QStringList actionNames() const override { return {toggleAction()}; }
    void doAction(const QString& name) override {
        if (action_ && action_->isEnabled() && (name == toggleAction() || name == pressAction()))
            action_->trigger();
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

  private:
    QMenu* menu() const {
        if (!action_) return nullptr;
        for (QObject* o : action_->associatedObjects())
            if (auto* m = qobject_cast<QMenu*>(o)) return m;
        return nullptr;
    }

    QPointer<QAction> action_;
};

QAccessibleInterface* checkableMenuItem(const QString& className, QObject* object) {
    auto* action = className == QLatin1String("QAction") ? qobject_cast<QAction*>(object) : nullptr;
    if (!action || !action->isCheckable()) return nullptr;
    for (QObject* o : action->associatedObjects())
        if (qobject_cast<QMenu*>(o)) return new CheckableMenuItem(action);
    return nullptr;
}

}  // namespace

void installCheckableMenuItems() {
    static const bool installed = [] {
        QAccessible::installFactory(checkableMenuItem);
        return true;
    }();
    (void)installed;
}

}  // namespace velmora
