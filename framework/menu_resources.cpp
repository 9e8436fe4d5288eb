#include "framework/menu_resources.h"

#include <algorithm>

#include "framework/command_ids.h"

namespace kestrel {
namespace {

using Kind = MenuItem::Kind;

MenuItem Item(const char* text, int id) {
    return {Kind::Command, text, id, {}, false};
}
MenuItem Separator() {
    return {Kind::Separator, "", 0, {}, false};
}
MenuItem Popup(const char* text, std::vector<MenuItem> items, bool right = false) {
    return {Kind::Popup, text, 0, std::move(items), right};
}

MenuItem NewItem() {
    return Item("新規作成(&N)\tCtrl+N", cmd::kFileNew);
}
MenuItem OpenItem() {
    return Item("開く(&O)...\tCtrl+O", cmd::kFileOpen);
}
MenuItem ExitItem() {
    return Item("ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)", cmd::kAppExit);
}
MenuItem HelpPopup() {
    return Popup("ﾍﾙﾌﾟ(&H)", {Item("Kestrel のﾊﾞｰｼﾞｮﾝ情報(&A)...", cmd::kAppAbout)}, true);
}
MenuItem AdapterPopup(int placeholder) {
    return Popup(kAdapterPopupText, {Item("dummy", placeholder)});
}

MenuItem DocumentFilePopup() {
    return Popup("ﾌｧｲﾙ(&F)",
                 {NewItem(), OpenItem(), Item("閉じる(&C)", cmd::kFileClose),
                  Item("上書き保存(&S)\tCtrl+S", cmd::kFileSave),
                  Item("名前を付けて保存(&A)...", cmd::kFileSaveAs), Separator(), ExitItem()});
}

std::vector<MenuItem> WindowItems() {
    return {Item("重ねて表示(&C)", cmd::kWindowCascade),
            Item("横に並べて表示(&S)", cmd::kWindowTileSideBySide),
            Item("縦に並べて表示(&T)", cmd::kWindowTileStacked),
            Item("ｱｲｺﾝの整列(&A)", cmd::kWindowArrange)};
}

MenuItem CapturePopup() {
    return Popup(
        "キャプチャー(&C)",
        {Item("開始(&S)", cmd::kCaptureStart), Item("停止(&E)", cmd::kCaptureStop), Separator(),
         Item("全て開始(&A)", cmd::kCaptureStartAll), Item("全て停止(&Q)", cmd::kCaptureStopAll)});
}

MenuItem FontSizePopup(int largest) {
    return Popup("文字のサイズ(&T)", {Item("最大(&G)", largest), Item("大(&L)", largest + 1),
                                      Item("中(&M)", largest + 2), Item("小(&S)", largest + 3),
                                      Item("最小(&A)", largest + 4)});
}

std::vector<MenuItem> ContextPopups(bool capture) {
    std::vector<MenuItem> dump;
    std::vector<MenuItem> tree;
    std::vector<MenuItem> list;
    if (capture) {
        dump = {Item("キャプチャー開始(&S)", cmd::kDumpCaptureStart),
                Item("キャプチャー停止(&E)", cmd::kDumpCaptureStop)};
        tree = {Item("キャプチャー開始(&S)", cmd::kTreeCaptureStart),
                Item("キャプチャー停止(&E)", cmd::kTreeCaptureStop)};
        list = {Item("キャプチャー開始(&S)", cmd::kListCaptureStart),
                Item("キャプチャー停止(&E)", cmd::kListCaptureStop)};
    }
    dump.push_back(FontSizePopup(cmd::kDumpFontLargest));
    tree.push_back(FontSizePopup(cmd::kTreeFontLargest));
    tree.push_back(
        Popup("ﾃﾞｰﾀ1行文字数(&C)",
              {Item("80文字(&G)", cmd::kTreeLine80), Item("64文字(&L)", cmd::kTreeLine64),
               Item("48文字(&M)", cmd::kTreeLine48), Item("32文字(&S)", cmd::kTreeLine32),
               Item("16文字(&A)", cmd::kTreeLine16)}));
    list.push_back(FontSizePopup(cmd::kListFontLargest));
    if (capture)
        list.push_back(Item("オートスクロール(&A)", cmd::kListAutoScroll));
    list.push_back(Item("抽出(&E)", cmd::kListExtract));
    list.push_back(Item("削除(&D)", cmd::kListDelete));
    list.push_back(Item("全て選択(&A)\tCtrl+A", cmd::kListSelectAll));
    return {Popup("DUMPMENU", std::move(dump)), Popup("TREEMENU", std::move(tree)),
            Popup("LISTMENU", std::move(list)),
            Popup("MAINFRAME", {AdapterPopup(cmd::kAdapterPlaceholder)})};
}

std::vector<MenuResource> MakeResources() {
    std::vector<MenuResource> resources;
    resources.push_back({cmd::kMenuMainFrame,
                         {Popup("ﾌｧｲﾙ(&F)", {NewItem(), OpenItem(), Separator(), ExitItem()}),
                          AdapterPopup(cmd::kAdapterPlaceholder), HelpPopup()}});
    resources.push_back({cmd::kMenuFileDocument,
                         {DocumentFilePopup(), AdapterPopup(cmd::kAdapterPlaceholderDocument),
                          Popup(kWindowPopupText, WindowItems()), HelpPopup()}});
    resources.push_back({cmd::kMenuCaptureDocument,
                         {DocumentFilePopup(), AdapterPopup(cmd::kAdapterPlaceholderDocument),
                          CapturePopup(), Popup(kWindowPopupText, WindowItems()), HelpPopup()}});
    std::vector<MenuItem> printWindow = WindowItems();
    printWindow.insert(printWindow.begin(), Item("新しいｳｨﾝﾄﾞｳを開く(&N)", cmd::kWindowNew));
    resources.push_back(
        {cmd::kMenuPrintDocument,
         {Popup("ﾌｧｲﾙ(&F)",
                {NewItem(), OpenItem(), Item("閉じる(&C)", cmd::kFileClose),
                 Item("上書き保存(&S)\tCtrl+S", cmd::kFileSave),
                 Item("名前を付けて保存(&A)...", cmd::kFileSaveAs), Separator(),
                 Item("印刷(&P)...\tCtrl+P", cmd::kFilePrint),
                 Item("印刷ﾌﾟﾚﾋﾞｭｰ(&V)", cmd::kFilePrintPreview),
                 Item("ﾌﾟﾘﾝﾀの設定(&R)...", cmd::kFilePrintSetup), Separator(), ExitItem()}),
          AdapterPopup(cmd::kAdapterPlaceholderDocument), CapturePopup(),
          Popup("表示(&V)", {Item("ｽﾃｰﾀｽ ﾊﾞｰ(&S)", cmd::kViewStatusBar)}),
          Popup(kWindowPopupText, std::move(printWindow)), HelpPopup()}});
    resources.push_back({cmd::kMenuContext, ContextPopups(false)});
    resources.push_back({cmd::kMenuCaptureContext, ContextPopups(true)});
    return resources;
}

}  // namespace

const MenuResource* FindMenuResource(int id) {
    static const std::vector<MenuResource> resources = MakeResources();
    auto it = std::find_if(resources.begin(), resources.end(),
                           [id](const MenuResource& r) { return r.id == id; });
    return it == resources.end() ? nullptr : &*it;
}

const std::vector<AcceleratorEntry>& AcceleratorTable() {
    static const std::vector<AcceleratorEntry> table = {
        {"Ctrl+A", cmd::kListSelectAll},   {"Ctrl+N", cmd::kFileNew},
        {"Ctrl+O", cmd::kFileOpen},        {"Ctrl+S", cmd::kFileSave},
        {"Ctrl+P", cmd::kFilePrint},       {"Ctrl+C", cmd::kEditCopy},
        {"Ctrl+Ins", cmd::kEditCopy},      {"Ctrl+V", cmd::kEditPaste},
        {"Shift+Ins", cmd::kEditPaste},    {"Ctrl+X", cmd::kEditCut},
        {"Shift+Del", cmd::kEditCut},      {"Ctrl+Z", cmd::kEditUndo},
        {"Alt+Backspace", cmd::kEditUndo}, {"F6", cmd::kNextPane},
        {"Shift+F6", cmd::kPrevPane},
    };
    return table;
}

}  // namespace kestrel
