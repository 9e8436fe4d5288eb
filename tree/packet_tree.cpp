#include "tree/packet_tree.h"

namespace kestrel {

CPacketTree::CPacketTree(CChildFrame* frame, QWidget* parent)
    : QTreeWidget(parent), m_frame(frame) {
    setHeaderHidden(true);
    setColumnCount(1);
}

}  // namespace kestrel
