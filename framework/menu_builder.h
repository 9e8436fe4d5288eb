// Qt menus built from the menu resources; every action carries its command id.
#pragma once

#include <QList>
#include <functional>

#include "framework/command_target.h"
#include "framework/menu_resources.h"

class QAction;
class QMenu;
class QWidget;

namespace kestrel {

// The command id of an action built here, or -1 (separators, popups, others).
int CommandIdOf(const QAction* action);
// Sets the command id of an action made elsewhere (adapter and window items).
void SetCommandId(QAction* action, int id);

// A popup with its items and nested popups, owned by `parent`.
QMenu* BuildPopupMenu(const MenuItem& popup, QWidget* parent);
// The top-level popups of a menu bar resource, owned by `parent`.
QList<QMenu*> BuildMenuBarMenus(int resourceId, QWidget* parent);
// One popup of a context menu resource (130 or 133), owned by `parent`.
QMenu* BuildContextMenu(int resourceId, int popupIndex, QWidget* parent);

// Depth-first search for the popup whose title is `text` (the first wins).
QMenu* FindPopup(const QList<QMenu*>& menus, const QString& text);

// Asks `update` for the state of every command item of `menu` (not of its
// nested popups, which refresh themselves when they show).
void UpdateMenuState(QMenu* menu, const std::function<bool(int, CommandState&)>& update);

}  // namespace kestrel
