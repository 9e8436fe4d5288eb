// Shared pieces of the GUI test programs: a private settings and data folder
// per run, and a prompter that records messages and answers file dialogs.
#pragma once

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "framework/profile.h"
#include "framework/prompter.h"
#include "shell/kestrel_app.h"

namespace kestrel::test {

class CRecordingPrompter : public CPrompter {
public:
    struct Message {
        QString text;
        Icon icon;
    };
    struct SaveRequest {
        QString proposed;
        QStringList filters;
        int filterIndex;
    };
    struct SaveAnswer {
        QString path;
        int filterIndex;
    };

    void ShowMessage(QWidget*, const QString& text, Icon icon) override {
        messages.push_back({text, icon});
    }
    bool AskYesNo(QWidget*, const QString& text) override {
        questions.append(text);
        return true;
    }
    QStringList GetOpenFileNames(QWidget*, const QStringList& filters) override {
        openFilters = filters;
        if (openAnswers.empty())
            return {};
        QStringList answer = openAnswers.front();
        openAnswers.pop_front();
        return answer;
    }
    QString GetSaveFileName(QWidget*, const QString& proposed, const QStringList& filters,
                            int& filterIndex) override {
        saveRequests.push_back({proposed, filters, filterIndex});
        if (saveAnswers.empty())
            return {};
        const SaveAnswer answer = saveAnswers.front();
        saveAnswers.pop_front();
        filterIndex = answer.filterIndex;
        return answer.path;
    }

    std::vector<Message> messages;
    QStringList questions;
    QStringList openFilters;
    std::deque<QStringList> openAnswers;
    std::vector<SaveRequest> saveRequests;
    std::deque<SaveAnswer> saveAnswers;
};

// An application with a recording prompter; `prompter` stays valid while
// the application lives.
struct TestApp {
    explicit TestApp(std::shared_ptr<PcapApi> pcap = nullptr) {
        auto recording = std::make_unique<CRecordingPrompter>();
        prompter = recording.get();
        CKestrelApp::Options options;
        options.pcap = std::move(pcap);
        options.prompter = std::move(recording);
        options.registerDesktop = false;
        app = std::make_unique<CKestrelApp>(std::move(options));
    }
    CKestrelApp* operator->() const { return app.get(); }

    std::unique_ptr<CKestrelApp> app;
    CRecordingPrompter* prompter = nullptr;
};

inline void ClearProfile() {
    FlushProfile();
    QSettings(kProfileOrganisation, kProfileApplication).clear();
}

inline int StoredInt(const char* key) {
    return GetProfileInt(key, -12345);
}

// Runs the deferred deletions (closed windows go through deleteLater).
inline void ProcessDeletions() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

// Points the settings and the XDG data folders into `home`; false when the
// temporary folder could not be made.
inline bool UsePrivateFolders(const QTemporaryDir& home) {
    if (!home.isValid())
        return false;
    const QByteArray root = home.path().toLocal8Bit();
    for (const char* folder : {"/config", "/data", "/system-data"})
        QDir().mkpath(home.path() + QLatin1String(folder));
    setenv("XDG_CONFIG_HOME", (root + "/config").constData(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").constData(), 1);
    setenv("XDG_DATA_DIRS", (root + "/system-data").constData(), 1);
    return true;
}

}  // namespace kestrel::test

// main() of a GUI test program: settings and XDG data in a private folder,
// then the Qt Test run of `TestClass`.
#define KESTREL_GUI_TEST_MAIN(TestClass)             \
    int main(int argc, char** argv) {                \
        QTemporaryDir home;                          \
        if (!kestrel::test::UsePrivateFolders(home)) \
            return 2;                                \
        QApplication application(argc, argv);        \
        kestrel::InstallFontSubstitutions();         \
        TestClass test;                              \
        return QTest::qExec(&test, argc, argv);      \
    }
