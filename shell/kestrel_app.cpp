#include "shell/kestrel_app.h"

#include <QApplication>
#include <QFileInfo>
#include <QFont>
#include <QLibraryInfo>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTranslator>

#include "framework/command_ids.h"
#include "framework/kestrel_doc.h"
#include "framework/prompter.h"
#include "shell/about_box.h"
#include "shell/child_frame.h"
#include "shell/desktop_integration.h"
#include "shell/main_frame.h"

namespace kestrel {

namespace {

// Document strings of the three kinds: window title, document name, new-file
// name, filter name, filter extension, file type id, file type name.
constexpr const char* kFileDocString =
    "\n新規パケットファイル\n無題\nﾊﾟｹｯﾄ ﾌｧｲﾙ (*.pac)\n.pac\nKestrel.Document\nKestrel Document";
constexpr const char* kCaptureDocString =
    "\n新規パケットファイル\n\nﾊﾟｹｯﾄ ﾌｧｲﾙ (*.pac)\n.pac\nKestrel.Document\nKestrel Document";

// Texts that Qt shows or prints and its Japanese catalogue lacks: the type
// column of the file dialogs, and the help options of the command line.
struct QtText {
    const char* context;
    const char* source;
    const char* japanese;
};
constexpr QtText kMissingQtTexts[] = {
    {"QAbstractFileIconProvider", "Folder", "フォルダ"},
    {"QAbstractFileIconProvider", "Drive", "ドライブ"},
    {"QAbstractFileIconProvider", "Shortcut", "ショートカット"},
    {"QAbstractFileIconProvider", "Unknown", "不明"},
    {"QCommandLineParser", "Displays help on commandline options.",
     "コマンドライン オプションのヘルプを表示する。"},
    {"QCommandLineParser", "Displays help including Qt specific options.",
     "Qt 固有のオプションも含めたヘルプを表示する。"},
};

// Installed after Qt's catalogue, so asked first: it answers the texts
// above and leaves every other one to Qt's translations.
class CMissingQtTexts : public QTranslator {
public:
    using QTranslator::QTranslator;
    QString translate(const char* context, const char* source, const char*, int) const override {
        for (const QtText& text : kMissingQtTexts) {
            if (qstrcmp(context, text.context) == 0 && qstrcmp(source, text.source) == 0)
                return QString::fromUtf8(text.japanese);
        }
        return {};
    }
    bool isEmpty() const override { return false; }
};

}  // namespace

void InstallFontSubstitutions() {
    QFont::insertSubstitution(QStringLiteral("ＭＳ ゴシック"), QStringLiteral("IPAGothic"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
}

bool InstallQtTranslations() {
    auto* translator = new QTranslator(QCoreApplication::instance());
    const bool loaded = translator->load(QStringLiteral("qtbase_ja"),
                                         QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    if (loaded)
        QCoreApplication::installTranslator(translator);
    else
        delete translator;
    QCoreApplication::installTranslator(new CMissingQtTexts(QCoreApplication::instance()));
    return loaded;
}

CKestrelApp::CKestrelApp(Options options)
    : m_pcap(std::move(options.pcap)),
      m_prompter(options.prompter ? std::move(options.prompter)
                                  : std::make_unique<CDialogPrompter>()),
      m_registerDesktop(options.registerDesktop),
      m_remoteHosts(std::move(options.remoteHosts)),
      m_liveStreams(std::move(options.liveStreams)),
      m_templates{CDocTemplate(cmd::kMenuFileDocument, kFileTemplate, kFileDocString),
                  CDocTemplate(cmd::kMenuCaptureDocument, kCaptureTemplate, kCaptureDocString),
                  CDocTemplate(cmd::kMenuPrintDocument, 2, kCaptureDocString)} {}

CKestrelApp::~CKestrelApp() {
    // Document windows and the engine go before the templates they refer to.
    m_mainFrame.reset();
}

bool CKestrelApp::InitInstance(const QStringList& files) {
    InstallFontSubstitutions();
    m_mainFrame = std::make_unique<CMainFrame>(this, m_pcap);
    if (m_registerDesktop)
        RegisterDesktopIntegration(QApplication::applicationFilePath());

    // Without files the program starts with no document window.
    int opened = 0;
    for (const QString& path : files) {
        if (OpenDocumentFile(path))
            ++opened;
    }
    if (!files.isEmpty() && opened == 0 && m_liveStreams.empty())
        return false;

    m_mainFrame->ShowWithSavedState();
    for (const std::string& path : m_liveStreams) m_mainFrame->OpenLiveStream(path);
    m_mainFrame->ListRemoteAdapters(m_remoteHosts);
    return true;
}

QStringList CKestrelApp::OpenFilters() {
    return {QStringLiteral("ﾊﾟｹｯﾄ ﾌｧｲﾙ (*.pac)"), QStringLiteral("pcap ﾌｧｲﾙ (*.pcap *.cap *.dmp)"),
            QStringLiteral("pcapng ﾌｧｲﾙ (*.pcapng *.ntar)"), QStringLiteral("すべてのﾌｧｲﾙ (*)")};
}

QStringList CKestrelApp::SaveFilters() {
    return {QStringLiteral("ﾊﾟｹｯﾄ ﾌｧｲﾙ (*.pac)"), QStringLiteral("pcap ﾌｧｲﾙ (*.pcap)")};
}

CChildFrame* CKestrelApp::OnFileNew() {
    CDocTemplate& docTemplate = GetDocTemplate(kFileTemplate);
    auto document = std::make_unique<CKestrelDoc>(&docTemplate);
    document->SetTitle(docTemplate.NextUntitledTitle());
    return m_mainFrame->CreateDocumentWindow(std::move(document));
}

void CKestrelApp::OnFileOpen() {
    const QStringList paths = m_prompter->GetOpenFileNames(m_mainFrame.get(), OpenFilters());
    for (const QString& path : paths) OpenDocumentFile(path);
}

CChildFrame* CKestrelApp::OpenDocumentFile(const QString& path) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    // A file that is open already: its window comes to the front.
    for (CChildFrame* frame : m_mainFrame->ChildFrames()) {
        if (frame->GetDocument()->GetPathName() == absolute) {
            QMdiSubWindow* window = frame->SubWindow();
            if (window->isMinimized())
                window->showNormal();
            m_mainFrame->MdiArea()->setActiveSubWindow(window);
            return frame;
        }
    }

    auto document = std::make_unique<CKestrelDoc>(&GetDocTemplate(kFileTemplate));
    QString error;
    QStringList warnings;
    if (!document->OnOpenDocument(path, error, warnings)) {
        const QString text = error.contains(path) ? error : path + QLatin1Char('\n') + error;
        m_prompter->ShowMessage(m_mainFrame.get(), text, CPrompter::Icon::Critical);
        return nullptr;
    }
    CChildFrame* frame = m_mainFrame->CreateDocumentWindow(std::move(document));
    for (const QString& warning : warnings) {
        m_prompter->ShowMessage(m_mainFrame.get(), path + QLatin1Char('\n') + warning,
                                CPrompter::Icon::Warning);
    }
    return frame;
}

void CKestrelApp::OnAppAbout() {
    CAboutBox box(m_mainFrame.get());
    box.exec();
}

bool CKestrelApp::OnCommand(int id) {
    switch (id) {
        case cmd::kFileNew:
            OnFileNew();
            return true;
        case cmd::kFileOpen:
            OnFileOpen();
            return true;
        case cmd::kAppAbout:
            OnAppAbout();
            return true;
        case cmd::kAppExit:
            m_mainFrame->close();
            return true;
        default:
            return false;
    }
}

bool CKestrelApp::OnUpdateCommand(int id, CommandState& state) {
    switch (id) {
        case cmd::kFileNew:
        case cmd::kFileOpen:
        case cmd::kAppAbout:
        case cmd::kAppExit:
            state.enabled = true;
            return true;
        default:
            return false;
    }
}

}  // namespace kestrel
