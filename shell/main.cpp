// kestrel: the desktop program.
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QIcon>
#include <clocale>
#include <cstdio>

#include "framework/profile.h"
#include "shell/desktop_integration.h"
#include "shell/kestrel_app.h"
#include "shell/remote_hosts.h"

namespace {

// The options of the command line, set up once for the parser. The texts
// are in the program's language; their lines are broken by hand, since the
// parser wraps by characters and a Japanese character takes two columns.
struct CommandLine {
    QCommandLineOption remote{QStringLiteral("remote"),
                              QStringLiteral("HOST ([user@]host[:port]) のﾃﾞﾊﾞｲｽも、今後は\n"
                                             "ﾃﾞﾊﾞｲｽｵｰﾌﾟﾝのﾒﾆｭｰに並べる。"),
                              QStringLiteral("HOST")};
    QCommandLineOption remoteSudo{
        QStringLiteral("remote-sudo"),
        QStringLiteral("--remote と同じ。HOST では sudo -n で\nｷｬﾌﾟﾁｬｰする。"),
        QStringLiteral("HOST")};
    QCommandLineOption forgetRemote{QStringLiteral("forget-remote"),
                                    QStringLiteral("HOST のﾃﾞﾊﾞｲｽをﾒﾆｭｰに並べないようにする。"),
                                    QStringLiteral("HOST")};
    QCommandLineOption live{
        QStringLiteral("live"),
        QStringLiteral("FIFO の PATH に書かれる pcap ｽﾄﾘｰﾑで\n埋まっていくｷｬﾌﾟﾁｬｰ ｳｨﾝﾄﾞｳを開く。"),
        QStringLiteral("PATH")};
    QCommandLineParser parser;

    CommandLine() {
        parser.setApplicationDescription(QStringLiteral(
            "Kestrel はﾈｯﾄﾜｰｸ ｱﾀﾞﾌﾟﾀｰを流れる Ethernet ﾌﾚｰﾑをｷｬﾌﾟﾁｬｰし、\n"
            "ﾊﾟｹｯﾄ一覧、ﾃﾞｺｰﾄﾞ ﾂﾘｰ、16進ﾀﾞﾝﾌﾟで表示する。FILE には .pac、pcap、\n"
            "pcapng のﾌｧｲﾙを指定できる。- を指定すると、標準入力の pcap ｽﾄﾘｰﾑで\n"
            "届くそばから埋まっていくｷｬﾌﾟﾁｬｰ ｳｨﾝﾄﾞｳを開く\n"
            "(ssh HOST tcpdump -U -w - | kestrel -)。\n"
            "\n"
            "ﾘﾓｰﾄ ﾎｽﾄは設定に保存され、そのﾃﾞﾊﾞｲｽは起動のたびに \"NAME@HOST\" として\n"
            "ﾒﾆｭｰに並ぶ。一覧とｷｬﾌﾟﾁｬｰは ssh で行う (自分の鍵を使い、ﾎｽﾄの\n"
            "kestrel-capture を、なければ tcpdump を使う)。"));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOptions({remote, remoteSudo, forgetRemote, live});
        parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("開くﾌｧｲﾙ。"),
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
            std::fprintf(stderr, "kestrel: %s は Kestrel のﾘﾓｰﾄ ﾎｽﾄではありません\n",
                         host.toLocal8Bit().constData());
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
