#include "dump/packet_dump.h"

namespace kestrel {

CPacketDump::CPacketDump(CChildFrame* frame, QWidget* parent)
    : QAbstractScrollArea(parent), m_frame(frame) {
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
}

}  // namespace kestrel
