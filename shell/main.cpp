// kestrel: the desktop program.
#include <QApplication>
#include <QCoreApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QIcon>
#include <clocale>
#include <cstdio>

#include "framework/profile.h"
#include "shell/desktop_integration.h"
#include "shell/kestrel_app.h"
#include "shell/remote_hosts.h"

namespace {

// The options of the command line, set up once for the parser.
struct CommandLine {
    QCommandLineOption remote{
        QStringLiteral("remote"),
        QStringLiteral("Offer the adapters of HOST ([user@]host[:port]) from now on."),
        QStringLiteral("HOST")};
    QCommandLineOption remoteSudo{QStringLiteral("remote-sudo"),
                                  QStringLiteral("As --remote, capturing through sudo -n on HOST."),
                                  QStringLiteral("HOST")};
    QCommandLineOption forgetRemote{QStringLiteral("forget-remote"),
                                    QStringLiteral("Stop offering the adapters of HOST."),
                                    QStringLiteral("HOST")};
    QCommandLineOption live{
        QStringLiteral("live"),
        QStringLiteral("Open a capture window that fills from the pcap stream of the FIFO PATH."),
        QStringLiteral("PATH")};
    QCommandLineParser parser;

    CommandLine() {
        parser.setApplicationDescription(QStringLiteral(
            "Kestrel captures Ethernet frames from network adapters and shows them as a packet\n"
            "list, a decode tree and a hex dump. FILE may be a .pac, pcap or pcapng file, or -\n"
            "for a pcap stream on standard input that fills a capture window as it comes\n"
            "(ssh HOST tcpdump -U -w - | kestrel -).\n"
            "\n"
            "Remote hosts are kept in the settings: their adapters are offered as\n"
            "\"NAME@HOST\" at every start, listed and captured over ssh (your own keys;\n"
            "kestrel-capture on the host, else tcpdump)."));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOptions({remote, remoteSudo, forgetRemote, live});
        parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Files to open."),
                                     QStringLiteral("[FILE...]"));
    }
};

void SetApplicationNames() {
    QCoreApplication::setOrganizationName(QString::fromLatin1(kestrel::kProfileOrganisation));
    QCoreApplication::setApplicationName(QString::fromLatin1(kestrel::kProfileApplication));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));
}

// --help and --version are answered without a display.
bool AsksOnlyForHelp(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const QLatin1String arg(argv[i]);
        if (arg == QLatin1String("--"))
            return false;
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help") ||
            arg == QLatin1String("--help-all") || arg == QLatin1String("-v") ||
            arg == QLatin1String("--version"))
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    // The C library's texts (system error messages) in the user's language.
    // Nothing in the program formats numbers through the C locale.
    std::setlocale(LC_ALL, "");
    if (AsksOnlyForHelp(argc, argv)) {
        QCoreApplication core(argc, argv);
        kestrel::InstallQtTranslations();
        SetApplicationNames();
        CommandLine commandLine;
        commandLine.parser.process(core);  // prints and exits
        return 0;
    }
    QApplication application(argc, argv);
    kestrel::InstallQtTranslations();
    SetApplicationNames();
    QApplication::setDesktopFileName(QStringLiteral("kestrel"));
    QApplication::setWindowIcon(kestrel::ApplicationIcon());

    CommandLine commandLine;
    QCommandLineParser& parser = commandLine.parser;
    const QCommandLineOption& remote = commandLine.remote;
    const QCommandLineOption& remoteSudo = commandLine.remoteSudo;
    const QCommandLineOption& forgetRemote = commandLine.forgetRemote;
    const QCommandLineOption& live = commandLine.live;
    parser.process(application);

    QString error;
    for (const QString& host : parser.values(forgetRemote)) {
        if (!kestrel::ForgetRemoteHost(host))
            std::fprintf(stderr, "kestrel: %s is not a remote host of Kestrel\n", qPrintable(host));
    }
    for (const QString& host : parser.values(remote)) {
        if (!kestrel::RememberRemoteHost(host, false, error)) {
            std::fprintf(stderr, "kestrel: %s\n", error.toLocal8Bit().constData());
            return 2;
        }
    }
    for (const QString& host : parser.values(remoteSudo)) {
        if (!kestrel::RememberRemoteHost(host, true, error)) {
            std::fprintf(stderr, "kestrel: %s\n", error.toLocal8Bit().constData());
            return 2;
        }
    }

    kestrel::CKestrelApp::Options options;
    options.remoteHosts = kestrel::RememberedRemoteHosts();
    QStringList files;
    for (const QString& file : parser.positionalArguments()) {
        if (file == QLatin1String("-"))
            options.liveStreams.push_back("-");
        else
            files.append(file);
    }
    for (const QString& path : parser.values(live))
        options.liveStreams.push_back(QFile::encodeName(path).toStdString());

    kestrel::CKestrelApp app(std::move(options));
    if (!app.InitInstance(files))
        return 1;
    return application.exec();
}
