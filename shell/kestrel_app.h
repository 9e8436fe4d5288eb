// The application: settings location, the three document kinds, the main
// frame, the files named at start, the New / Open / About / Exit commands.
#pragma once

#include <QObject>
#include <QStringList>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "capture/remote.h"

#include "framework/command_target.h"
#include "framework/doc_template.h"
#include "framework/prompter.h"

namespace kestrel {

class CChildFrame;
class CMainFrame;
class PcapApi;

class CKestrelApp : public QObject, public CCommandTarget {
    Q_OBJECT
public:
    static constexpr int kTemplateCount = 3;
    static constexpr int kFileTemplate = 0;     // New, opened files, extraction results
    static constexpr int kCaptureTemplate = 1;  // documents bound to an adapter

    struct Options {
        std::shared_ptr<PcapApi> pcap;        // the real capture library when null
        std::unique_ptr<CPrompter> prompter;  // message boxes and file dialogs when null
        bool registerDesktop = true;          // register the XDG files per user when missing
        std::vector<RemoteHost> remoteHosts;  // hosts whose adapters the menu offers
        // Pcap streams that each fill a capture document from the start: FIFO
        // paths, or "-" for standard input.
        std::vector<std::string> liveStreams;
    };

    explicit CKestrelApp(Options options);
    ~CKestrelApp() override;

    // Start-up: the main frame, the files named on the command line, the
    // live streams, the show state; the listing of the remote hosts begins.
    // False when the program should end (a named file that could not be
    // opened, and nothing else was).
    bool InitInstance(const QStringList& files);

    CMainFrame* MainFrame() const { return m_mainFrame.get(); }
    CPrompter& Prompter() const { return *m_prompter; }
    CDocTemplate& GetDocTemplate(int position) {
        return m_templates[static_cast<size_t>(position)];
    }

    // New: an empty document of the first kind.
    CChildFrame* OnFileNew();
    // Open: the file dialog, then each chosen file.
    void OnFileOpen();
    // Opens (or activates, when it is open already) the document of a file;
    // nullptr when the file cannot be read (the user was told why).
    CChildFrame* OpenDocumentFile(const QString& path);

    bool OnCommand(int id) override;
    bool OnUpdateCommand(int id, CommandState& state) override;

    // Filters of the open and the save dialogs.
    static QStringList OpenFilters();
    static QStringList SaveFilters();

private:
    void OnAppAbout();

    std::shared_ptr<PcapApi> m_pcap;
    std::unique_ptr<CPrompter> m_prompter;
    bool m_registerDesktop;
    std::vector<RemoteHost> m_remoteHosts;
    std::vector<std::string> m_liveStreams;
    std::array<CDocTemplate, kTemplateCount> m_templates;
    std::unique_ptr<CMainFrame> m_mainFrame;
};

// "ＭＳ ゴシック" and "ＭＳ Ｐゴシック" are served by the metric-compatible
// IPA fonts.
void InstallFontSubstitutions();

// The texts Qt draws itself (file dialogs, message box buttons, window
// menus) in Japanese, from Qt's translations folder, with the few that
// folder lacks; false when Qt's translations are not installed.
bool InstallQtTranslations();

}  // namespace kestrel
