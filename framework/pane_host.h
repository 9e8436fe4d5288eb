// What the three panes of a document window need from the window that holds
// them: each other (selection crosses the panes by direct calls), the
// capture commands of the document, and the user's answers. The child frame
// is the host; tests host the panes on their own.
#pragma once

class QWidget;

namespace kestrel {

class CPacketDump;
class CPacketList;
class CPacketTree;
class CPrompter;

class CPaneHost {
public:
    virtual ~CPaneHost() = default;
    virtual CPacketTree* TreePane() const = 0;
    virtual CPacketDump* DumpPane() const = 0;
    // Start command: starts the capture, telling the user why a start failed.
    virtual void StartCaptureCommand() = 0;
    virtual void StopCapture() = 0;
    // 1 capturing, 0 idle, -1 when no adapter has the document's name.
    virtual int GetCaptureState() const = 0;
    // True for documents of the capture template.
    virtual bool IsCaptureDocument() const = 0;
    virtual CPrompter& PanePrompter() const = 0;
    // Opens a new, empty "抽出データ" document window and returns its packet
    // list; nullptr when no window can be opened.
    virtual CPacketList* OpenExtractTarget() { return nullptr; }
    // Makes the window of the panes the active document window.
    virtual void ActivatePaneWindow() {}
};

}  // namespace kestrel
