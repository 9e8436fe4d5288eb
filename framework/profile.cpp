#include "framework/profile.h"

#include <QCoreApplication>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <map>

namespace kestrel {

namespace {

QString KeyPath(const char* key) {
    return QString::fromLatin1(kProfileSection) + QLatin1Char('/') + QString::fromLatin1(key);
}

// The settings object and the values written since the file was last
// written. Lives on the UI thread from the first use until the application
// object goes.
class Profile {
public:
    Profile() : m_settings(kProfileOrganisation, kProfileApplication) {
        m_timer.setSingleShot(true);
        m_timer.setInterval(kProfileWriteDelayMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Flush(); });
    }
    ~Profile() { Flush(); }

    bool Read(const char* key, int& value) {
        const QString path = KeyPath(key);
        if (auto it = m_pending.find(path); it != m_pending.end()) {
            value = it->second;
            return true;
        }
        // Another running copy may have written the file since: a view made
        // now starts with what the view destroyed last stored, wherever it ran.
        m_settings.sync();
        bool ok = false;
        const int stored = m_settings.value(path).toInt(&ok);
        if (ok)
            value = stored;
        return ok;
    }

    // Every value is kept for the file, also one equal to what this process
    // read or wrote before: another copy of the program may have written a
    // different one since, and the value written last must win.
    void Write(const char* key, int value) {
        const QString path = KeyPath(key);
        if (auto it = m_pending.find(path); it != m_pending.end() && it->second == value)
            return;
        m_pending[path] = value;
        // Without an event loop on this thread nothing would ever fire.
        if (QCoreApplication::instance() &&
            QThread::currentThread() == QCoreApplication::instance()->thread()) {
            m_timer.start();
        } else {
            Flush();
        }
    }

    void Flush() {
        m_timer.stop();
        if (m_pending.empty())
            return;
        // The file as it is now, with what other copies wrote; values it
        // already holds are not written again.
        m_settings.sync();
        bool changed = false;
        for (const auto& [path, value] : m_pending) {
            bool ok = false;
            const int stored = m_settings.value(path).toInt(&ok);
            if (ok && stored == value)
                continue;
            m_settings.setValue(path, value);
            changed = true;
        }
        m_pending.clear();
        if (!changed)
            return;
        m_settings.sync();
        ++m_fileWrites;
    }

    int FileWrites() const { return m_fileWrites; }

private:
    QSettings m_settings;
    std::map<QString, int> m_pending;
    QTimer m_timer;
    int m_fileWrites = 0;
};

Profile* g_profile = nullptr;
bool g_destroyRegistered = false;
int g_fileWritesBefore = 0;  // by profile objects that are gone

void DestroyProfile() {
    g_destroyRegistered = false;
    if (!g_profile)
        return;
    g_profile->Flush();
    g_fileWritesBefore += g_profile->FileWrites();
    delete g_profile;
    g_profile = nullptr;
}

Profile& TheProfile() {
    if (!g_profile)
        g_profile = new Profile;
    // The last values are written before the application object is gone.
    if (!g_destroyRegistered && QCoreApplication::instance()) {
        qAddPostRoutine(DestroyProfile);
        g_destroyRegistered = true;
    }
    return *g_profile;
}

}  // namespace

int GetProfileInt(const char* key, int defaultValue) {
    int value = defaultValue;
    return TheProfile().Read(key, value) ? value : defaultValue;
}

bool HasProfileInt(const char* key) {
    int value = 0;
    return TheProfile().Read(key, value);
}

void WriteProfileInt(const char* key, int value) {
    TheProfile().Write(key, value);
}

void FlushProfile() {
    TheProfile().Flush();
}

int ProfileFileWrites() {
    return g_fileWritesBefore + (g_profile ? g_profile->FileWrites() : 0);
}

}  // namespace kestrel
