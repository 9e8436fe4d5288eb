// A document window: the packet list over the decode tree and the hex dump,
// the capture commands of its document, its size and splitter positions.
#pragma once

#include <QSize>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/command_target.h"
#include "framework/pane_host.h"

class QMdiSubWindow;
class QSplitter;

namespace kestrel {

class CKestrelDoc;
class CMainFrame;
class CPacketDump;
class CPacketList;
class CPacketTree;

class CChildFrame : public QWidget, public CCommandTarget, public CPaneHost {
    Q_OBJECT
public:
    static constexpr int kDefaultListHeight = 200;  // SPLITTER_SIZE_CYCUR
    static constexpr int kDefaultTreeWidth = 300;   // SPLITTER_SIZE_CXCUR
    // Show states stored in CHILD_FRAME_SIZE_MAX.
    static constexpr int kShowMinimized = 2;
    static constexpr int kShowMaximized = 3;
    static constexpr int kShowNormal = 5;

    CChildFrame(CMainFrame* mainFrame, std::unique_ptr<CKestrelDoc> document,
                QWidget* parent = nullptr);
    ~CChildFrame() override;

    CKestrelDoc* GetDocument() const { return m_document.get(); }
    CPacketList* ListPane() const { return m_list; }
    CPacketTree* TreePane() const override { return m_tree; }
    CPacketDump* DumpPane() const override { return m_dump; }
    QSplitter* OuterSplitter() const { return m_outer; }
    QSplitter* InnerSplitter() const { return m_inner; }
    CMainFrame* MainFrame() const { return m_mainFrame; }
    QMdiSubWindow* SubWindow() const;

    // Puts the frame into its MDI window (`window` hosts it) and shows it with
    // the stored size and show state.
    void AttachAndActivate(QMdiSubWindow* window);

    // Starts the capture of the document's adapter into the list pane.
    // False with `reason` when the engine refuses it.
    bool StartCapture(std::string* reason = nullptr);
    // Start command: as StartCapture, telling the user why a start failed.
    void StartCaptureCommand() override;
    void StopCapture() override;
    // 1 capturing, 0 idle, -1 when no adapter has the document's name.
    int GetCaptureState() const override;
    // True for documents of the capture template.
    bool IsCaptureDocument() const override;
    CPrompter& PanePrompter() const override;
    // A new extraction document window (see CMainFrame::OpenExtractWindow).
    CChildFrame* NewExtractionDocument();
    CPacketList* OpenExtractTarget() override;
    void ActivatePaneWindow() override;

    // A read error of the worker, delivered on the UI thread.
    void OnCaptureError(int code, const QString& text);
    // The end of a capture, delivered on the UI thread: tells the user how
    // many frames the kernel dropped, when it dropped any.
    void OnCaptureEnded(uint64_t kernelDrops);

    // Save and Save As of the document; true when the file was written.
    bool SaveDocument();
    bool SaveDocumentAs();

    bool OnCommand(int id) override;
    bool OnUpdateCommand(int id, CommandState& state) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreatePanes();
    void ApplySplitterSizes();
    // Stops the capture and waits for the worker, so that nothing reaches
    // the list or the store once they go.
    void ReleaseCapture();
    void SaveFrameSize();
    void SaveSettingsOnClose();
    void UpdateTitle();
    void FocusPane(int step);
    int CurrentShowState() const;

    CMainFrame* m_mainFrame;
    std::unique_ptr<CKestrelDoc> m_document;
    CPacketList* m_list = nullptr;
    CPacketTree* m_tree = nullptr;
    CPacketDump* m_dump = nullptr;
    QSplitter* m_outer = nullptr;
    QSplitter* m_inner = nullptr;
    int m_listHeight = kDefaultListHeight;
    int m_treeWidth = kDefaultTreeWidth;
    bool m_splitterSizesApplied = false;
    bool m_closed = false;
    QSize m_normalSize;
};

}  // namespace kestrel
