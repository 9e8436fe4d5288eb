#include "tree/packet_tree.h"

#include <QContextMenuEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <cstdio>
#include <utility>

#include "capture/capture_engine.h"
#include "dump/packet_dump.h"
#include "framework/command_ids.h"
#include "framework/pane_host.h"
#include "framework/pane_menu.h"
#include "framework/profile.h"

namespace kestrel {

namespace {

constexpr const char* kKeyFontSize = "TREE_FONT_SIZE";
constexpr const char* kKeyLineCount = "TREE_LINE_COUNT";
constexpr const char* kKeyItemSelect = "TREE_ITEM_SELECT";
constexpr const char* kKeyExpandFormat = "TREE_EXPAND_%02d";
constexpr const char* kFontFamily = "ＭＳ ゴシック";
constexpr int kImageSize = 16;

struct Choice {
    int command;
    int value;
};
constexpr std::array<Choice, 5> kFontChoices = {{{cmd::kTreeFontLargest, 180},
                                                 {cmd::kTreeFontLarge, 150},
                                                 {cmd::kTreeFontMedium, 120},
                                                 {cmd::kTreeFontSmall, 110},
                                                 {cmd::kTreeFontSmallest, 90}}};
constexpr std::array<Choice, 5> kLineChoices = {{{cmd::kTreeLine80, 80},
                                                 {cmd::kTreeLine64, 64},
                                                 {cmd::kTreeLine48, 48},
                                                 {cmd::kTreeLine32, 32},
                                                 {cmd::kTreeLine16, 16}}};

std::string ExpandKey(int slot) {
    char key[32];
    std::snprintf(key, sizeof key, kKeyExpandFormat, slot);
    return key;
}

}  // namespace

QIcon CPacketTree::ItemImage() {
    // A page with a folded corner and three text lines.
    QPixmap pixmap(kImageSize, kImageSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    const QPolygon page(
        {QPoint(3, 1), QPoint(10, 1), QPoint(13, 4), QPoint(13, 14), QPoint(3, 14)});
    painter.setPen(QColor(64, 64, 64));
    painter.setBrush(Qt::white);
    painter.drawPolygon(page);
    painter.drawLine(10, 1, 10, 4);
    painter.drawLine(10, 4, 13, 4);
    painter.setPen(QColor(0, 0, 160));
    for (int y = 6; y <= 12; y += 3) painter.drawLine(5, y, 11, y);
    return QIcon(pixmap);
}

QIcon CPacketTree::SectionImage() {
    // A yellow folder with its tab.
    QPixmap pixmap(kImageSize, kImageSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(QColor(128, 96, 0));
    painter.setBrush(QColor(230, 190, 60));
    painter.drawRect(1, 3, 6, 2);
    painter.setBrush(QColor(255, 214, 90));
    painter.drawRect(1, 5, 13, 8);
    return QIcon(pixmap);
}

CPacketTree::CPacketTree(CPaneHost* frame, QWidget* parent) : QTreeWidget(parent), m_frame(frame) {
    m_fontSize = GetProfileInt(kKeyFontSize, kDefaultFontSize);
    m_lineCount = GetProfileInt(kKeyLineCount, kDefaultLineCount);
    m_rememberedOffset = GetProfileInt(kKeyItemSelect, 0);
    for (int slot = 0; slot < DecodeTree::kSectionSlotCount; ++slot) {
        m_expandFlags[static_cast<size_t>(slot)] = GetProfileInt(ExpandKey(slot).c_str(), 1);
    }

    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setItemsExpandable(true);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setIconSize(QSize(kImageSize, kImageSize));
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    header()->setStretchLastSection(false);
    ApplyTreeFont();

    connect(this, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current) { OnCurrentItemChanged(current); });
    connect(this, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* item) { OnExpansionChanged(item, true); });
    connect(this, &QTreeWidget::itemCollapsed, this,
            [this](QTreeWidgetItem* item) { OnExpansionChanged(item, false); });
}

CPacketTree::~CPacketTree() {
    WriteProfileInt(kKeyFontSize, m_fontSize);
    WriteProfileInt(kKeyLineCount, m_lineCount);
    WriteProfileInt(kKeyItemSelect, m_rememberedOffset);
    for (int slot = 0; slot < DecodeTree::kSectionSlotCount; ++slot) {
        WriteProfileInt(ExpandKey(slot).c_str(), m_expandFlags[static_cast<size_t>(slot)]);
    }
}

void CPacketTree::ApplyTreeFont() {
    // A size from the settings that no text can be drawn at (a font that
    // measures no pixel, or lines taller than a screen could ever show)
    // gives way to the default.
    const auto make = [](int size) {
        QFont font(QString::fromUtf8(kFontFamily));
        if (size > 0)
            font.setPointSizeF(size / 10.0);
        const int height = QFontMetrics(font).height();
        const bool drawable =
            size > 0 && height >= 1 && height <= kMaxLineHeight && QFontInfo(font).pixelSize() >= 1;
        return std::make_pair(font, drawable);
    };
    auto [font, drawable] = make(m_fontSize);
    if (!drawable) {
        m_fontSize = kDefaultFontSize;
        font = make(m_fontSize).first;
    }
    m_font = font;
    setFont(m_font);
}

void CPacketTree::ShowPacket(const Packet* packet, int number) {
    m_packet = packet;
    m_packetNumber = number;
    RebuildTree();
}

void CPacketTree::ClearTree() {
    m_rebuilding = true;
    clear();
    m_rebuilding = false;
    m_items.clear();
    // The packet may be released next: nothing may rebuild from it.
    m_content.Clear();
    m_packet = nullptr;
}

void CPacketTree::RebuildTree() {
    if (!m_packet || !m_packet->header || m_packet->header->caplen == 0)
        return;
    if (!m_content.RebuildTree(*m_packet, m_packetNumber, m_lineCount))
        return;

    m_rebuilding = true;
    clear();
    m_items.clear();
    const int count = m_content.ItemCount();
    m_items.reserve(static_cast<size_t>(count));
    const QIcon itemImage = ItemImage();
    const QIcon sectionImage = SectionImage();
    // Parents come before their children, so each parent's widget exists.
    for (int index = 0; index < count; ++index) {
        const std::string_view text = m_content.Text(index);
        const QStringList column(
            QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
        const int parent = m_content.Parent(index);
        QTreeWidgetItem* widgetItem =
            parent == DecodeTree::kNoItem
                ? new QTreeWidgetItem(this, column)
                : new QTreeWidgetItem(m_items[static_cast<size_t>(parent)], column);
        widgetItem->setData(0, Qt::UserRole, index);
        widgetItem->setIcon(
            0, m_content.Image(index) == DecodeTree::kImageSection ? sectionImage : itemImage);
        m_items.push_back(widgetItem);
    }
    const int sections = m_content.LeadingSectionCount();
    for (int slot = 0; slot < sections; ++slot) {
        m_items[static_cast<size_t>(m_content.SectionSlot(slot))]->setExpanded(
            m_expandFlags[static_cast<size_t>(slot)] != 0);
    }
    m_rebuilding = false;

    const ItemSelection selection = SelectItemAtByte(m_rememberedOffset);
    m_rememberedOffset = selection.byRange ? selection.first : -1;
}

ItemSelection CPacketTree::SelectItemAtByte(int index) {
    const ItemSelection selection = m_content.SelectItemAtByte(index);
    // A selection by range shows bytes the user is looking at already: the
    // dump highlights them without scrolling.
    if (selection.byRange)
        m_scrollFlag = false;
    QTreeWidgetItem* target = ItemAt(selection.item);
    if (target) {
        if (currentItem() == target) {
            // No change of selection follows; the flag is for that change only.
            OnCurrentItemChanged(target);
        } else {
            setCurrentItem(target);
        }
        scrollToItem(target);
    }
    return selection;
}

void CPacketTree::OnCurrentItemChanged(QTreeWidgetItem* current) {
    if (m_rebuilding)
        return;
    CPacketDump* dump = m_frame ? m_frame->DumpPane() : nullptr;
    const ItemRange* range = m_content.FindRange(IndexOf(current));
    if (range) {
        m_rememberedOffset = range->first;
        if (dump) {
            dump->HighlightBytes(range->first, range->length);
            if (m_scrollFlag)
                dump->ScrollToHighlight();
        }
        m_scrollFlag = true;
    } else {
        if (dump)
            dump->HighlightBytes(0, 0);
        m_rememberedOffset = -1;
    }
}

void CPacketTree::OnExpansionChanged(QTreeWidgetItem* item, bool expanded) {
    if (m_rebuilding)
        return;
    const int slot = m_content.SlotOfItem(IndexOf(item));
    if (slot >= 0)
        m_expandFlags[static_cast<size_t>(slot)] = expanded ? 1 : 0;
}

QTreeWidgetItem* CPacketTree::ItemAt(int index) const {
    if (index < 0 || index >= static_cast<int>(m_items.size()))
        return nullptr;
    return m_items[static_cast<size_t>(index)];
}

int CPacketTree::IndexOf(const QTreeWidgetItem* item) const {
    if (!item)
        return -1;
    bool ok = false;
    const int index = item->data(0, Qt::UserRole).toInt(&ok);
    return ok && ItemAt(index) == item ? index : -1;
}

void CPacketTree::mousePressEvent(QMouseEvent* event) {
    // Only the left button selects and expands; the other buttons do nothing
    // here (the context menu comes through its own event).
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    QTreeWidget::mousePressEvent(event);
}

void CPacketTree::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    QTreeWidget::mouseDoubleClickEvent(event);
}

void CPacketTree::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    QTreeWidget::mouseReleaseEvent(event);
}

void CPacketTree::drawBranches(QPainter* painter, const QRect& rect,
                               const QModelIndex& index) const {
    const int indent = indentation();
    if (indent <= 0 || rect.width() < indent)
        return;
    painter->save();
    const QColor lineColour(128, 128, 128);
    // One dot on every other pixel, in step from row to row.
    const auto dotted = [&](int x1, int y1, int x2, int y2) {
        for (int x = x1; x <= x2; ++x) {
            for (int y = y1; y <= y2; ++y) {
                if (((x + y) & 1) == 0)
                    painter->fillRect(x, y, 1, 1, lineColour);
            }
        }
    };
    const int top = rect.top();
    const int bottom = rect.bottom();
    const int middleY = top + rect.height() / 2;
    const auto hasNextSibling = [](const QModelIndex& item) {
        return item.sibling(item.row() + 1, 0).isValid();
    };

    // The item's own column: from its parent (or the item above) down to
    // the item, on to its next sibling, and across to the item.
    int cellLeft = rect.right() + 1 - indent;
    int middleX = cellLeft + indent / 2;
    const bool firstAtRoot = !index.parent().isValid() && index.row() == 0;
    dotted(middleX, firstAtRoot ? middleY : top, middleX, hasNextSibling(index) ? bottom : middleY);
    dotted(middleX, middleY, cellLeft + indent - 1, middleY);
    // The columns of the ancestors that have siblings below them.
    for (QModelIndex ancestor = index.parent(); ancestor.isValid(); ancestor = ancestor.parent()) {
        cellLeft -= indent;
        if (cellLeft < rect.left())
            break;
        if (hasNextSibling(ancestor))
            dotted(cellLeft + indent / 2, top, cellLeft + indent / 2, bottom);
    }

    if (model()->hasChildren(index)) {
        const int box = 9;
        const QRect square(middleX - box / 2, middleY - box / 2, box - 1, box - 1);
        painter->fillRect(square, Qt::white);
        painter->setPen(lineColour);
        painter->drawRect(square);
        painter->setPen(Qt::black);
        const QPoint centre = square.center();
        painter->drawLine(centre.x() - 2, centre.y(), centre.x() + 2, centre.y());
        if (!isExpanded(index))
            painter->drawLine(centre.x(), centre.y() - 2, centre.x(), centre.y() + 2);
    }
    painter->restore();
}

QMenu* CPacketTree::CreateContextMenu() {
    const bool capture = m_frame && m_frame->IsCaptureDocument();
    const int state = m_frame ? m_frame->GetCaptureState() : kCaptureUnknown;
    return BuildPaneMenu(capture, cmd::kPopupTree, this, [this, state](int id, CommandState& s) {
        for (const Choice& choice : kFontChoices) {
            if (choice.command == id) {
                s.checked = choice.value == m_fontSize;
                return true;
            }
        }
        for (const Choice& choice : kLineChoices) {
            if (choice.command == id) {
                s.checked = choice.value == m_lineCount;
                return true;
            }
        }
        if (id == cmd::kTreeCaptureStart) {
            s.enabled = state == kCaptureIdle;
            return true;
        }
        if (id == cmd::kTreeCaptureStop) {
            s.enabled = state == kCaptureCapturing;
            return true;
        }
        return false;
    });
}

void CPacketTree::contextMenuEvent(QContextMenuEvent* event) {
    const int id = ExecPaneMenu(CreateContextMenu(), event->globalPos());
    if (id >= 0)
        OnCommand(id);
}

bool CPacketTree::OnCommand(int id) {
    for (const Choice& choice : kFontChoices) {
        if (choice.command == id) {
            m_fontSize = choice.value;
            ApplyTreeFont();
            return true;
        }
    }
    for (const Choice& choice : kLineChoices) {
        if (choice.command == id) {
            m_lineCount = choice.value;
            RebuildTree();
            return true;
        }
    }
    if (id == cmd::kTreeCaptureStart && m_frame) {
        m_frame->StartCaptureCommand();
        return true;
    }
    if (id == cmd::kTreeCaptureStop && m_frame) {
        m_frame->StopCapture();
        return true;
    }
    return false;
}

}  // namespace kestrel
