// Context menus of the three panes: built from resource 130 or 133 (the
// latter for capture documents), every item of every nested popup asked for
// its check and enabled state before the menu shows.
#pragma once

#include <QAction>
#include <QMenu>
#include <functional>

#include "framework/command_ids.h"
#include "framework/menu_builder.h"

namespace kestrel {

inline void UpdatePaneMenuState(QMenu* menu,
                                const std::function<bool(int, CommandState&)>& update) {
    UpdateMenuState(menu, update);
    for (QAction* action : menu->actions()) {
        if (action->menu())
            UpdatePaneMenuState(action->menu(), update);
    }
}

inline QMenu* BuildPaneMenu(bool captureDocument, int popupIndex, QWidget* parent,
                            const std::function<bool(int, CommandState&)>& update) {
    QMenu* menu = BuildContextMenu(captureDocument ? cmd::kMenuCaptureContext : cmd::kMenuContext,
                                   popupIndex, parent);
    if (menu)
        UpdatePaneMenuState(menu, update);
    return menu;
}

// Runs the menu at `globalPos` and returns the command id chosen, or -1.
inline int ExecPaneMenu(QMenu* menu, const QPoint& globalPos) {
    if (!menu)
        return -1;
    const QAction* chosen = menu->exec(globalPos);
    const int id = CommandIdOf(chosen);
    menu->deleteLater();
    return id;
}

}  // namespace kestrel
