#include "shell/desktop_integration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

// The resources live in a static library: they are registered by hand.
static void InitKestrelResources() {
    Q_INIT_RESOURCE(kestrel);
}

namespace kestrel {

namespace {

struct InstalledFile {
    QString resource;  // in the program's resources
    QString relative;  // below the data folder
};

QList<InstalledFile> IconFiles() {
    QList<InstalledFile> files;
    files.append({QStringLiteral(":/kestrel/icons/kestrel.svg"),
                  QStringLiteral("icons/hicolor/scalable/apps/kestrel.svg")});
    files.append(
        {QStringLiteral(":/kestrel/icons/kestrel.svg"),
         QStringLiteral("icons/hicolor/scalable/mimetypes/application-x-kestrel-document.svg")});
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const QString resource = QStringLiteral(":/kestrel/icons/kestrel-%1.png").arg(size);
        const QString folder = QStringLiteral("icons/hicolor/%1x%1/").arg(size);
        files.append({resource, folder + QStringLiteral("apps/kestrel.png")});
        files.append(
            {resource, folder + QStringLiteral("mimetypes/application-x-kestrel-document.png")});
    }
    return files;
}

bool IsInstalled(const QString& relative) {
    return !QStandardPaths::locate(QStandardPaths::GenericDataLocation, relative).isEmpty();
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    if (bytes.isEmpty())
        return false;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

QByteArray ReadResource(const QString& resource) {
    QFile file(resource);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Marks an application entry that Kestrel wrote, and so may write again.
constexpr char kWrittenMark[] = "X-Kestrel-Written=true";

// A value of type string: backslash and the control characters escaped.
QByteArray EscapeString(const QByteArray& value) {
    QByteArray escaped;
    for (const char c : value) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\r':
                escaped += "\\r";
                break;
            default:
                escaped += c;
                break;
        }
    }
    if (escaped.startsWith(' '))
        escaped = "\\s" + escaped.mid(1);
    return escaped;
}

// One argument of an Exec line: quoted when it holds a reserved character
// (inside the quotes '"', '`', '$' and '\\' take a backslash), '%' doubled,
// then escaped as every string value is.
QByteArray ExecArgument(const QString& argument) {
    static const QByteArray reserved = " \t\n\"'\\><~|&;$*?#()`";
    const QByteArray bytes = argument.toUtf8();
    bool quote = bytes.isEmpty();
    for (const char c : bytes) quote |= reserved.contains(c);
    QByteArray result;
    if (quote)
        result += '"';
    for (const char c : bytes) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
            result += '\\';
        result += c;
        if (c == '%')
            result += '%';
    }
    if (quote)
        result += '"';
    return EscapeString(result);
}

// The desktop entry with Exec naming this program by its full path.
QByteArray DesktopEntry(const QString& executable) {
    QByteArray entry = ReadResource(QStringLiteral(":/kestrel/kestrel.desktop"));
    QList<QByteArray> lines = entry.split('\n');
    for (QByteArray& line : lines) {
        if (line.startsWith("Exec="))
            line = "Exec=" + ExecArgument(executable) + " %F";
        if (line.startsWith("TryExec="))
            line = "TryExec=" + EscapeString(executable.toUtf8());
    }
    while (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    lines.append(kWrittenMark);
    return lines.join('\n') + '\n';
}

// True for an entry in the user's folder that Kestrel may write again: one
// it wrote (marked) that differs from `entry` (another program path or
// another version), or an unmarked Kestrel entry of an earlier version whose
// program no longer runs.
bool IsStaleOwnEntry(const QString& path, const QByteArray& entry) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray current = file.readAll();
    const QList<QByteArray> lines = current.split('\n');
    if (lines.contains(kWrittenMark))
        return current != entry;
    if (!lines.contains("StartupWMClass=kestrel"))
        return false;
    for (const QByteArray& line : lines) {
        if (line.startsWith("TryExec="))
            return !QFileInfo(QString::fromUtf8(line.mid(8))).isExecutable();
    }
    return false;
}

void RunDetached(const QString& tool, const QStringList& arguments) {
    const QString program = QStandardPaths::findExecutable(tool);
    if (!program.isEmpty())
        QProcess::startDetached(program, arguments);
}

}  // namespace

QIcon ApplicationIcon() {
    InitKestrelResources();
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/kestrel/icons/kestrel-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

QStringList RegisterDesktopIntegration(const QString& executable, bool updateCaches) {
    InitKestrelResources();
    QStringList written;
    const QString home = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (home.isEmpty())
        return written;

    const QString desktop = QStringLiteral("applications/") + QString::fromLatin1(kDesktopFileName);
    const QString userDesktop = home + QLatin1Char('/') + desktop;
    const QByteArray entry = DesktopEntry(executable);
    const bool refresh = QFileInfo::exists(userDesktop) ? IsStaleOwnEntry(userDesktop, entry)
                                                        : !IsInstalled(desktop);
    if (refresh && WriteFile(userDesktop, entry)) {
        written.append(userDesktop);
        if (updateCaches)
            RunDetached(QStringLiteral("update-desktop-database"),
                        {home + QStringLiteral("/applications")});
    }

    const QString mime = QStringLiteral("mime/packages/") + QString::fromLatin1(kMimePackageName);
    if (!IsInstalled(mime) &&
        WriteFile(home + QLatin1Char('/') + mime,
                  ReadResource(QStringLiteral(":/kestrel/kestrel-mime.xml")))) {
        written.append(home + QLatin1Char('/') + mime);
        if (updateCaches)
            RunDetached(QStringLiteral("update-mime-database"), {home + QStringLiteral("/mime")});
    }

    for (const InstalledFile& file : IconFiles()) {
        if (IsInstalled(file.relative))
            continue;
        const QString target = home + QLatin1Char('/') + file.relative;
        if (WriteFile(target, ReadResource(file.resource)))
            written.append(target);
    }
    return written;
}

}  // namespace kestrel
