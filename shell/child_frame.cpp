#include "shell/child_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QResizeEvent>
#include <QSplitter>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <utility>

#include "dump/packet_dump.h"
#include "framework/command_ids.h"
#include "framework/doc_template.h"
#include "framework/kestrel_doc.h"
#include "framework/profile.h"
#include "framework/prompter.h"
#include "list/packet_list.h"
#include "shell/kestrel_app.h"
#include "shell/main_frame.h"
#include "tree/packet_tree.h"

namespace kestrel {

namespace {

constexpr const char* kKeyWidth = "CHILD_FRAME_SIZE_RIGHT";
constexpr const char* kKeyHeight = "CHILD_FRAME_SIZE_BOTTOM";
constexpr const char* kKeyShow = "CHILD_FRAME_SIZE_MAX";
constexpr const char* kKeyListHeight = "SPLITTER_SIZE_CYCUR";
constexpr const char* kKeyTreeWidth = "SPLITTER_SIZE_CXCUR";

// Characters that end the proposed file name of an untitled document.
constexpr const char* kDubiousNameCharacters = " #%;/\\";

QSize ProposedFrameSize(const QMdiSubWindow* window) {
    QSize size(640, 480);
    if (const QMdiArea* area = window->mdiArea()) {
        const QSize viewport = area->viewport()->size();
        if (viewport.width() > 200 && viewport.height() > 150)
            size = viewport * 3 / 4;
    }
    return size;
}

}  // namespace

CChildFrame::CChildFrame(CMainFrame* mainFrame, std::unique_ptr<CKestrelDoc> document,
                         QWidget* parent)
    : QWidget(parent), m_mainFrame(mainFrame), m_document(std::move(document)) {
    CreatePanes();
    connect(m_document.get(), &CKestrelDoc::TitleChanged, this, &CChildFrame::UpdateTitle);
    UpdateTitle();
}

CChildFrame::~CChildFrame() {
    ReleaseCapture();
    // The panes refer to the document: they go first.
    delete m_outer;
    m_outer = nullptr;
}

void CChildFrame::CreatePanes() {
    m_listHeight = GetProfileInt(kKeyListHeight, kDefaultListHeight);
    m_treeWidth = GetProfileInt(kKeyTreeWidth, kDefaultTreeWidth);
    // Sizes no pane can have (a settings file edited by hand) give way to
    // the defaults.
    if (m_listHeight < 0 || m_listHeight > QWIDGETSIZE_MAX)
        m_listHeight = kDefaultListHeight;
    if (m_treeWidth < 0 || m_treeWidth > QWIDGETSIZE_MAX)
        m_treeWidth = kDefaultTreeWidth;

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_outer = new QSplitter(Qt::Vertical, this);
    m_outer->setChildrenCollapsible(false);
    m_list = new CPacketList(m_document.get(), this, m_outer);
    m_inner = new QSplitter(Qt::Horizontal, m_outer);
    m_inner->setChildrenCollapsible(false);
    m_tree = new CPacketTree(this, m_inner);
    m_dump = new CPacketDump(this, m_inner);
    // The first row and column keep their size when the frame is resized.
    m_outer->setStretchFactor(0, 0);
    m_outer->setStretchFactor(1, 1);
    m_inner->setStretchFactor(0, 0);
    m_inner->setStretchFactor(1, 1);
    layout->addWidget(m_outer);
}

QMdiSubWindow* CChildFrame::SubWindow() const {
    return qobject_cast<QMdiSubWindow*>(parentWidget());
}

void CChildFrame::AttachAndActivate(QMdiSubWindow* window) {
    window->installEventFilter(this);
    const QSize proposed = ProposedFrameSize(window);
    m_normalSize = QSize(GetProfileInt(kKeyWidth, proposed.width()),
                         GetProfileInt(kKeyHeight, proposed.height()));
    // A stored size that no window can have (a settings file edited by
    // hand) falls back to the proposed one.
    if (m_normalSize.width() < kMinimumFrameExtent || m_normalSize.height() < kMinimumFrameExtent ||
        m_normalSize.width() > QWIDGETSIZE_MAX || m_normalSize.height() > QWIDGETSIZE_MAX) {
        m_normalSize = proposed;
    }
    window->resize(VisibleArea(window).isEmpty()
                       ? m_normalSize
                       : m_normalSize.boundedTo(VisibleArea(window).size()));
    UpdateTitle();
    // Placed in the normal state, so that a window opened maximised comes
    // back to its place in the cascade.
    m_mainFrame->PlaceNewWindow(window);
    // The show state of the last closed window, not the one asked for.
    switch (GetProfileInt(kKeyShow, kShowNormal)) {
        case kShowMaximized:
            window->showMaximized();
            break;
        case kShowMinimized:
            window->showMinimized();
            break;
        default:
            window->show();
            break;
    }
    if (QMdiArea* area = window->mdiArea())
        area->setActiveSubWindow(window);
    // A window made while the area was hidden is placed when it shows; once
    // that is done the window is brought inside it.
    QMetaObject::invokeMethod(this, &CChildFrame::FitIntoArea, Qt::QueuedConnection);
}

QRect CChildFrame::VisibleArea(const QMdiSubWindow* window) {
    const QMdiArea* area = window ? window->mdiArea() : nullptr;
    if (!area || !area->isVisible())
        return {};
    const QRect visible = area->viewport()->rect();
    if (visible.width() < kMinimumFrameExtent || visible.height() < kMinimumFrameExtent)
        return {};
    return visible;
}

void CChildFrame::FitIntoArea() {
    QMdiSubWindow* window = SubWindow();
    const QRect visible = VisibleArea(window);
    if (visible.isEmpty() || window->windowState() & (Qt::WindowMaximized | Qt::WindowMinimized))
        return;
    QRect geometry = window->geometry();
    geometry.setSize(geometry.size().boundedTo(visible.size()));
    if (geometry.right() > visible.right())
        geometry.moveRight(visible.right());
    if (geometry.bottom() > visible.bottom())
        geometry.moveBottom(visible.bottom());
    geometry.moveTopLeft(
        QPoint(std::max(visible.left(), geometry.left()), std::max(visible.top(), geometry.top())));
    if (geometry != window->geometry())
        window->setGeometry(geometry);
}

void CChildFrame::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (!m_splitterSizesApplied && m_outer->height() > 0 && m_inner->width() > 0) {
        ApplySplitterSizes();
    }
}

void CChildFrame::ApplySplitterSizes() {
    const int height = m_outer->height() - m_outer->handleWidth();
    const int width = m_outer->width() - m_inner->handleWidth();
    m_outer->setSizes({m_listHeight, std::max(1, height - m_listHeight)});
    m_inner->setSizes({m_treeWidth, std::max(1, width - m_treeWidth)});
    m_splitterSizesApplied = true;
}

bool CChildFrame::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() &&
        (event->type() == QEvent::Resize || event->type() == QEvent::WindowStateChange)) {
        // Maximising resizes the window before its state says maximised: a
        // size counts as the normal one only when the window is still in
        // the normal state once the events of this change are delivered.
        if (event->type() == QEvent::WindowStateChange) {
            const auto* change = static_cast<QWindowStateChangeEvent*>(event);
            m_restored |= (change->oldState() & (Qt::WindowMaximized | Qt::WindowMinimized)) != 0;
        }
        if (!m_normalSizeCheckPending) {
            m_normalSizeCheckPending = true;
            QMetaObject::invokeMethod(this, &CChildFrame::NoteNormalSize, Qt::QueuedConnection);
        }
        if (event->type() == QEvent::WindowStateChange)
            m_mainFrame->UpdateTabs();
    }
    return QWidget::eventFilter(watched, event);
}

void CChildFrame::NoteNormalSize() {
    m_normalSizeCheckPending = false;
    const bool restored = std::exchange(m_restored, false);
    QWidget* window = parentWidget();
    if (!window || m_closed || CurrentShowState() != kShowNormal)
        return;
    // A window restored from maximised or minimised comes back inside the area.
    if (restored)
        FitIntoArea();
    m_normalSize = window->size();
    if (window->isVisible()) {
        WriteProfileInt(kKeyShow, kShowNormal);
        SaveFrameSize();
    }
}

int CChildFrame::CurrentShowState() const {
    const QWidget* window = parentWidget();
    if (!window)
        return kShowNormal;
    if (window->windowState() & Qt::WindowMaximized)
        return kShowMaximized;
    if (window->windowState() & Qt::WindowMinimized)
        return kShowMinimized;
    return kShowNormal;
}

void CChildFrame::SaveFrameSize() {
    if (!m_normalSize.isValid())
        return;
    WriteProfileInt(kKeyWidth, m_normalSize.width());
    WriteProfileInt(kKeyHeight, m_normalSize.height());
}

void CChildFrame::SaveSettingsOnClose() {
    ReleaseCapture();
    SaveFrameSize();
    const QList<int> rows = m_outer->sizes();
    const QList<int> columns = m_inner->sizes();
    const bool laidOut = m_splitterSizesApplied && !rows.isEmpty() && !columns.isEmpty();
    WriteProfileInt(kKeyListHeight, laidOut ? rows.first() : m_listHeight);
    WriteProfileInt(kKeyTreeWidth, laidOut ? columns.first() : m_treeWidth);
    WriteProfileInt(kKeyShow, CurrentShowState());
    m_mainFrame->RemoveDocumentWindow(this);
}

void CChildFrame::closeEvent(QCloseEvent* event) {
    if (!m_closed) {
        m_closed = true;
        SaveSettingsOnClose();
    }
    event->accept();
}

void CChildFrame::ReleaseCapture() {
    if (GetCaptureState() == kCaptureUnknown)
        return;
    CCaptureEngine& engine = m_mainFrame->Engine();
    engine.StopCapture(m_document->m_deviceName);
    // A worker may be inside the sink right now; after this it is gone.
    engine.WaitForCapture(m_document->m_deviceName);
}

void CChildFrame::UpdateTitle() {
    const QString title = m_document->GetTitle();
    setWindowTitle(title);
    if (QWidget* window = parentWidget())
        window->setWindowTitle(title);
    m_mainFrame->UpdateTabs();
}

bool CChildFrame::StartCapture(std::string* reason) {
    CChildFrame* self = this;
    auto onError = [self](int code, const char* text) {
        // On the worker: copy the text and queue it; never wait for the UI.
        const QString copy = QString::fromLocal8Bit(text ? text : "");
        QMetaObject::invokeMethod(
            self, [self, code, copy] { self->OnCaptureError(code, copy); }, Qt::QueuedConnection);
    };
    auto onEnd = [self](uint64_t kernelDrops) {
        QMetaObject::invokeMethod(
            self, [self, kernelDrops] { self->OnCaptureEnded(kernelDrops); }, Qt::QueuedConnection);
    };
    return m_mainFrame->Engine().StartCapture(m_document->m_deviceName, onError, m_list, reason,
                                              onEnd);
}

void CChildFrame::StartCaptureCommand() {
    std::string reason;
    if (StartCapture(&reason))
        return;
    m_mainFrame->Prompter().ShowMessage(
        m_mainFrame,
        QStringLiteral("キャプチャーを開始できませんでした。\n\n%1: %2")
            .arg(QString::fromStdString(m_document->m_deviceName), QString::fromStdString(reason)),
        CPrompter::Icon::Warning);
}

void CChildFrame::StopCapture() {
    m_mainFrame->Engine().StopCapture(m_document->m_deviceName);
}

int CChildFrame::GetCaptureState() const {
    return m_mainFrame->Engine().GetCaptureState(m_document->m_deviceName);
}

bool CChildFrame::IsCaptureDocument() const {
    return m_document->GetDocTemplate()->Position() == CKestrelApp::kCaptureTemplate;
}

CPrompter& CChildFrame::PanePrompter() const {
    return m_mainFrame->Prompter();
}

CChildFrame* CChildFrame::NewExtractionDocument() {
    return m_mainFrame->OpenExtractWindow();
}

CPacketList* CChildFrame::OpenExtractTarget() {
    CChildFrame* frame = NewExtractionDocument();
    return frame ? frame->ListPane() : nullptr;
}

void CChildFrame::ActivatePaneWindow() {
    QMdiSubWindow* window = SubWindow();
    if (window && window->mdiArea())
        window->mdiArea()->setActiveSubWindow(window);
}

void CChildFrame::OnCaptureError(int code, const QString& text) {
    if (code != kCaptureErrorRead)
        return;
    m_mainFrame->Prompter().ShowMessage(
        m_mainFrame,
        QStringLiteral("キャプチャー中に読み込みエラーが発生しました。\n\n%1: %2")
            .arg(QString::fromStdString(m_document->m_deviceName), text),
        CPrompter::Icon::Warning);
}

void CChildFrame::OnCaptureEnded(uint64_t kernelDrops) {
    // Frames the kernel dropped are frames the document does not hold: say
    // so once the capture is over, unless the window is going away.
    if (kernelDrops == 0 || m_closed)
        return;
    m_mainFrame->Prompter().ShowMessage(
        m_mainFrame,
        QStringLiteral("キャプチャー中にカーネルが %1 ﾊﾟｹｯﾄを取りこぼしました。\n\n%2")
            .arg(QString::number(kernelDrops), QString::fromStdString(m_document->m_deviceName)),
        CPrompter::Icon::Warning);
}

bool CChildFrame::SaveDocument() {
    const QString path = m_document->GetPathName();
    // A pcapng file is not rewritten as pcap under its own name.
    if (path.isEmpty() || m_document->GetFileKind() == FileKind::PcapNg)
        return SaveDocumentAs();
    QString error;
    if (m_document->OnSaveDocument(path, m_document->GetFileKind(), error))
        return true;
    m_mainFrame->Prompter().ShowMessage(m_mainFrame, error, CPrompter::Icon::Critical);
    return false;
}

bool CChildFrame::SaveDocumentAs() {
    const QStringList filters = CKestrelApp::SaveFilters();
    int filterIndex = m_document->GetFileKind() == FileKind::Pac ? 0 : 1;
    const QString extension = filterIndex == 0 ? QStringLiteral(".pac") : QStringLiteral(".pcap");

    QString proposed;
    const QFileInfo current(m_document->GetPathName());
    if (!m_document->GetPathName().isEmpty()) {
        proposed =
            current.absolutePath() + QLatin1Char('/') + current.completeBaseName() + extension;
    } else {
        QString name = m_document->GetTitle();
        const QString dubious = QString::fromLatin1(kDubiousNameCharacters);
        for (qsizetype i = 0; i < name.size(); ++i) {
            if (dubious.contains(name[i])) {
                name.truncate(i);
                break;
            }
        }
        if (!name.isEmpty())
            proposed = name + extension;
    }

    QString path =
        m_mainFrame->Prompter().GetSaveFileName(m_mainFrame, proposed, filters, filterIndex);
    if (path.isEmpty())
        return false;
    const FileKind kind = filterIndex == 1 ? FileKind::Pcap : FileKind::Pac;
    if (QFileInfo(path).suffix().isEmpty()) {
        path += kind == FileKind::Pcap ? QStringLiteral(".pcap") : QStringLiteral(".pac");
    }
    QString error;
    if (m_document->OnSaveDocument(path, kind, error))
        return true;
    m_mainFrame->Prompter().ShowMessage(m_mainFrame, error, CPrompter::Icon::Critical);
    return false;
}

void CChildFrame::FocusPane(int step) {
    QWidget* panes[] = {m_list, m_tree, m_dump};
    int current = 0;
    for (int i = 0; i < 3; ++i) {
        if (panes[i]->hasFocus() || panes[i]->isAncestorOf(QApplication::focusWidget())) {
            current = i;
        }
    }
    panes[(current + step + 3) % 3]->setFocus(Qt::ShortcutFocusReason);
}

bool CChildFrame::OnCommand(int id) {
    switch (id) {
        case cmd::kCaptureStart:
            StartCaptureCommand();
            return true;
        case cmd::kCaptureStop:
            StopCapture();
            return true;
        case cmd::kCaptureStartAll:
            m_mainFrame->StartAllCaptures();
            return true;
        case cmd::kCaptureStopAll:
            m_mainFrame->StopAllCaptures();
            return true;
        case cmd::kFileClose:
            if (QWidget* window = parentWidget())
                window->close();
            return true;
        case cmd::kFileSave:
            SaveDocument();
            return true;
        case cmd::kFileSaveAs:
            SaveDocumentAs();
            return true;
        case cmd::kNextPane:
            FocusPane(1);
            return true;
        case cmd::kPrevPane:
            FocusPane(-1);
            return true;
        case cmd::kListSelectAll:
            m_list->selectAll();
            return true;
        default:
            return false;
    }
}

bool CChildFrame::OnUpdateCommand(int id, CommandState& state) {
    switch (id) {
        case cmd::kCaptureStart:
            state.enabled = GetCaptureState() == kCaptureIdle;
            return true;
        case cmd::kCaptureStop:
            state.enabled = GetCaptureState() == kCaptureCapturing;
            return true;
        case cmd::kCaptureStartAll:
            state.enabled = GetCaptureState() >= 0 &&
                            m_mainFrame->CountCapturing() < m_mainFrame->Engine().GetDeviceCount();
            return true;
        case cmd::kCaptureStopAll:
            state.enabled = GetCaptureState() >= 0 && m_mainFrame->CountCapturing() != 0;
            return true;
        case cmd::kFileClose:
        case cmd::kFileSave:
        case cmd::kFileSaveAs:
        case cmd::kNextPane:
        case cmd::kPrevPane:
        case cmd::kListSelectAll:
            state.enabled = true;
            return true;
        default:
            return false;
    }
}

}  // namespace kestrel
