// kestrel: the desktop program.
#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <clocale>

#include "framework/profile.h"
#include "shell/desktop_integration.h"
#include "shell/kestrel_app.h"

int main(int argc, char* argv[]) {
    // The C library's texts (system error messages) in the user's language.
    // Nothing in the program formats numbers through the C locale.
    std::setlocale(LC_ALL, "");
    QApplication application(argc, argv);
    kestrel::InstallQtTranslations();
    QApplication::setOrganizationName(QString::fromLatin1(kestrel::kProfileOrganisation));
    QApplication::setApplicationName(QString::fromLatin1(kestrel::kProfileApplication));
    QApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("kestrel"));
    QApplication::setWindowIcon(kestrel::ApplicationIcon());

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Kestrel captures Ethernet frames from network adapters and shows them as a packet\n"
        "list, a decode tree and a hex dump. FILE may be a .pac, pcap or pcapng file."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Files to open."),
                                 QStringLiteral("[FILE...]"));
    parser.process(application);

    kestrel::CKestrelApp app({});
    if (!app.InitInstance(parser.positionalArguments()))
        return 1;
    return application.exec();
}
