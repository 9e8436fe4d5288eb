#include "shell/remote_hosts.h"

#include <QSettings>
#include <QStringList>
#include <cstdio>

#include "framework/profile.h"

namespace kestrel {

namespace {

QString KeyPath(const char* key) {
    return QString::fromLatin1(kProfileSection) + QLatin1Char('/') + QString::fromLatin1(key);
}

QStringList ReadList(QSettings& settings, const char* key) {
    return settings.value(KeyPath(key)).toStringList();
}

}  // namespace

bool RememberRemoteHost(const QString& spec, bool sudo, QString& error) {
    RemoteHost host;
    std::string why;
    if (!ParseRemoteHost(spec.toStdString(), sudo, host, why)) {
        error = QString::fromStdString(why);
        return false;
    }
    QSettings settings(kProfileOrganisation, kProfileApplication);
    QStringList hosts = ReadList(settings, kRemoteHostsKey);
    QStringList sudoHosts = ReadList(settings, kRemoteSudoHostsKey);
    if (!hosts.contains(spec))
        hosts.append(spec);
    sudoHosts.removeAll(spec);
    if (sudo)
        sudoHosts.append(spec);
    settings.setValue(KeyPath(kRemoteHostsKey), hosts);
    settings.setValue(KeyPath(kRemoteSudoHostsKey), sudoHosts);
    return true;
}

bool ForgetRemoteHost(const QString& spec) {
    QSettings settings(kProfileOrganisation, kProfileApplication);
    QStringList hosts = ReadList(settings, kRemoteHostsKey);
    QStringList sudoHosts = ReadList(settings, kRemoteSudoHostsKey);
    const bool kept = hosts.removeAll(spec) > 0;
    sudoHosts.removeAll(spec);
    settings.setValue(KeyPath(kRemoteHostsKey), hosts);
    settings.setValue(KeyPath(kRemoteSudoHostsKey), sudoHosts);
    return kept;
}

std::vector<RemoteHost> RememberedRemoteHosts() {
    QSettings settings(kProfileOrganisation, kProfileApplication);
    const QStringList sudoHosts = ReadList(settings, kRemoteSudoHostsKey);
    std::vector<RemoteHost> hosts;
    for (const QString& spec : ReadList(settings, kRemoteHostsKey)) {
        RemoteHost host;
        std::string error;
        if (ParseRemoteHost(spec.toStdString(), sudoHosts.contains(spec), host, error))
            hosts.push_back(std::move(host));
        else
            std::fprintf(stderr, "%s\n", error.c_str());
    }
    return hosts;
}

}  // namespace kestrel
