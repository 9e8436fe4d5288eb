// The hosts whose adapters the adapter menu offers, kept in the settings so
// the list survives restarts: `kestrel --remote HOST` adds a host,
// `--remote-sudo HOST` adds it (or switches it) to capturing through
// `sudo -n` there, `--forget-remote HOST` removes it.
#pragma once

#include <QString>
#include <vector>

#include "capture/remote.h"

namespace kestrel {

// Settings keys (section "Settings"): the host specs in the order they were
// added, and those of them that capture through sudo -n.
inline constexpr const char* kRemoteHostsKey = "REMOTE_HOSTS";
inline constexpr const char* kRemoteSudoHostsKey = "REMOTE_SUDO_HOSTS";

// Adds `spec` ([user@]host[:port]) or changes its sudo choice; false with a
// message for a host that cannot be used.
bool RememberRemoteHost(const QString& spec, bool sudo, QString& error);
// Removes `spec`; false when it was not kept.
bool ForgetRemoteHost(const QString& spec);
// The kept hosts; entries that cannot be used are left out, with a word on
// stderr.
std::vector<RemoteHost> RememberedRemoteHosts();

}  // namespace kestrel
