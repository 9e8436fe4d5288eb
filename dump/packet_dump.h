// The hex dump pane (bottom right of a document window).
#pragma once

#include <QAbstractScrollArea>

namespace kestrel {

class CChildFrame;

class CPacketDump : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit CPacketDump(CChildFrame* frame, QWidget* parent = nullptr);

private:
    CChildFrame* m_frame;
};

}  // namespace kestrel
