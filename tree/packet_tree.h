// The decode tree pane (bottom left of a document window).
#pragma once

#include <QTreeWidget>

namespace kestrel {

class CChildFrame;

class CPacketTree : public QTreeWidget {
    Q_OBJECT
public:
    explicit CPacketTree(CChildFrame* frame, QWidget* parent = nullptr);

private:
    CChildFrame* m_frame;
};

}  // namespace kestrel
