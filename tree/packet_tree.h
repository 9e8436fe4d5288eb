// The decode tree pane (bottom left of a document window): the selected
// packet as a tree of sections and fields. Selecting an item highlights its
// bytes in the dump; a click in the dump selects the narrowest item there.
#pragma once

#include <QFont>
#include <QIcon>
#include <QTreeWidget>
#include <array>
#include <vector>

#include "core/packet.h"
#include "decode/decode_tree.h"

class QMenu;

namespace kestrel {

class CPaneHost;

class CPacketTree : public QTreeWidget {
    Q_OBJECT
public:
    static constexpr int kDefaultFontSize = 120;  // tenths of a point
    static constexpr int kDefaultLineCount = 32;
    // A font size (from the settings) whose lines would be taller than this
    // is not used: the default size is.
    static constexpr int kMaxLineHeight = 4096;

    explicit CPacketTree(CPaneHost* frame, QWidget* parent = nullptr);
    // Stores the font size, line count, remembered offset and expand flags.
    ~CPacketTree() override;

    // Shows `packet` (not owned) as row `number`.
    void ShowPacket(const Packet* packet, int number);
    // Removes every item and forgets the packet: the list may release it.
    void ClearTree();
    // Rebuilds the items of the current packet; nothing without one.
    void RebuildTree();
    // Selects the narrowest item whose range holds byte `index` (the root
    // for -1) without scrolling the dump; nothing when none holds it.
    ItemSelection SelectItemAtByte(int index);

    QMenu* CreateContextMenu();
    bool OnCommand(int id);

    const DecodeTree& Content() const { return m_content; }
    // The widget item of decode tree item `index`, or nullptr.
    QTreeWidgetItem* ItemAt(int index) const;
    // The decode tree item of a widget item, or -1.
    int IndexOf(const QTreeWidgetItem* item) const;
    const Packet* CurrentPacket() const { return m_packet; }
    int RememberedOffset() const { return m_rememberedOffset; }
    bool ScrollFlag() const { return m_scrollFlag; }
    int FontSize() const { return m_fontSize; }
    int LineCount() const { return m_lineCount; }
    int ExpandFlag(int slot) const { return m_expandFlags[static_cast<size_t>(slot)]; }
    const QFont& TreeFont() const { return m_font; }

    // The two 16 x 16 pictures: a page for fields, a folder for sections.
    static QIcon ItemImage();
    static QIcon SectionImage();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    // Dotted lines join each item to its parent and siblings; items with
    // children carry a box with "+" or "-", as tree controls with lines do.
    void drawBranches(QPainter* painter, const QRect& rect,
                      const QModelIndex& index) const override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void ApplyTreeFont();
    void OnCurrentItemChanged(QTreeWidgetItem* current);
    void OnExpansionChanged(QTreeWidgetItem* item, bool expanded);

    CPaneHost* m_frame;
    int m_packetNumber = 0;
    int m_rememberedOffset = 0;
    bool m_scrollFlag = true;
    bool m_rebuilding = false;
    int m_fontSize = kDefaultFontSize;
    int m_lineCount = kDefaultLineCount;
    std::array<int, DecodeTree::kSectionSlotCount> m_expandFlags{};
    const Packet* m_packet = nullptr;
    DecodeTree m_content;
    std::vector<QTreeWidgetItem*> m_items;
    QFont m_font;
};

}  // namespace kestrel
