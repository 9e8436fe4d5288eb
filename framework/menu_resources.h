// The menu bars, the pane context menus and the accelerator table, as data.
// Menus are built from these tables (menu_builder.h); every item carries its
// command id from command_ids.h.
#pragma once

#include <string>
#include <vector>

namespace kestrel {

struct MenuItem {
    enum class Kind { Command, Separator, Popup };
    Kind kind = Kind::Command;
    std::string text;             // "&" marks the mnemonic; a TAB separates the key hint
    int id = 0;                   // command id (Command items)
    std::vector<MenuItem> items;  // Popup items
    bool rightJustified = false;  // top-level popups only
};

struct MenuResource {
    int id = 0;
    std::vector<MenuItem> popups;  // top-level popups in order
};

// The resource with that id (128, 129, 130, 131, 132, 133), or nullptr.
const MenuResource* FindMenuResource(int id);

struct AcceleratorEntry {
    const char* keys;  // QKeySequence portable text, e.g. "Ctrl+A"
    int command;
};
// The application's one accelerator table.
const std::vector<AcceleratorEntry>& AcceleratorTable();

// Texts the program compares against or inserts into menus.
inline constexpr const char* kAdapterPopupText = "ﾃﾞﾊﾞｲｽｵｰﾌﾟﾝ(&O)";
inline constexpr const char* kWindowPopupText = "ｳｨﾝﾄﾞｳ(&W)";
inline constexpr const char* kOpenAllAdaptersText = "全て(&Z)";
inline constexpr const char* kNoAdapterText = "新たにｵｰﾌﾟﾝ出来るﾃﾞﾊﾞｲｽがありません";

}  // namespace kestrel
