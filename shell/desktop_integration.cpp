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

// The desktop entry with Exec naming this program by its full path.
QByteArray DesktopEntry(const QString& executable) {
    QByteArray entry = ReadResource(QStringLiteral(":/kestrel/kestrel.desktop"));
    QByteArray quoted = executable.toUtf8();
    if (quoted.contains(' '))
        quoted = '"' + quoted + '"';
    QList<QByteArray> lines = entry.split('\n');
    for (QByteArray& line : lines) {
        if (line.startsWith("Exec="))
            line = "Exec=" + quoted + " %F";
        if (line.startsWith("TryExec="))
            line = "TryExec=" + executable.toUtf8();
    }
    return lines.join('\n');
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
    if (!IsInstalled(desktop) &&
        WriteFile(home + QLatin1Char('/') + desktop, DesktopEntry(executable))) {
        written.append(home + QLatin1Char('/') + desktop);
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
