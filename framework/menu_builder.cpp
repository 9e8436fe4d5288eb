#include "framework/menu_builder.h"

#include <QAction>
#include <QMenu>

namespace kestrel {

namespace {
constexpr const char* kCommandProperty = "kestrelCommandId";
}

int CommandIdOf(const QAction* action) {
    if (!action)
        return -1;
    const QVariant value = action->property(kCommandProperty);
    return value.isValid() ? value.toInt() : -1;
}

void SetCommandId(QAction* action, int id) {
    action->setProperty(kCommandProperty, id);
}

QMenu* BuildPopupMenu(const MenuItem& popup, QWidget* parent) {
    auto* menu = new QMenu(QString::fromStdString(popup.text), parent);
    for (const MenuItem& item : popup.items) {
        switch (item.kind) {
            case MenuItem::Kind::Separator:
                menu->addSeparator();
                break;
            case MenuItem::Kind::Popup:
                menu->addMenu(BuildPopupMenu(item, menu));
                break;
            case MenuItem::Kind::Command: {
                QAction* action = menu->addAction(QString::fromStdString(item.text));
                SetCommandId(action, item.id);
                break;
            }
        }
    }
    return menu;
}

QList<QMenu*> BuildMenuBarMenus(int resourceId, QWidget* parent) {
    QList<QMenu*> menus;
    if (const MenuResource* resource = FindMenuResource(resourceId)) {
        for (const MenuItem& popup : resource->popups) menus.append(BuildPopupMenu(popup, parent));
    }
    return menus;
}

QMenu* BuildContextMenu(int resourceId, int popupIndex, QWidget* parent) {
    const MenuResource* resource = FindMenuResource(resourceId);
    if (!resource || popupIndex < 0 || popupIndex >= static_cast<int>(resource->popups.size())) {
        return nullptr;
    }
    return BuildPopupMenu(resource->popups[static_cast<size_t>(popupIndex)], parent);
}

QMenu* FindPopup(const QList<QMenu*>& menus, const QString& text) {
    for (QMenu* menu : menus) {
        if (menu->title() == text)
            return menu;
        QList<QMenu*> nested;
        for (QAction* action : menu->actions()) {
            if (action->menu())
                nested.append(action->menu());
        }
        if (QMenu* found = FindPopup(nested, text))
            return found;
    }
    return nullptr;
}

void UpdateMenuState(QMenu* menu, const std::function<bool(int, CommandState&)>& update) {
    for (QAction* action : menu->actions()) {
        const int id = CommandIdOf(action);
        if (id < 0 || action->menu())
            continue;
        CommandState state;
        if (!update(id, state))
            state.enabled = false;
        action->setEnabled(state.enabled);
        action->setCheckable(state.checked || action->isCheckable());
        action->setChecked(state.checked);
    }
}

}  // namespace kestrel
