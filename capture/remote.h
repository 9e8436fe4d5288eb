// Adapters of other machines, over OpenSSH: ssh runs kestrel-capture (or,
// where Kestrel is not installed, tcpdump) on the far side and brings its
// pcap stream back. ssh is run with an argument vector, with BatchMode (the
// user's own keys and known_hosts; no password is ever asked or stored).
//
// Nothing from the far side is trusted: its adapter listing is parsed with
// limits, and the command that runs there is a fixed text of ours whose
// variable parts (adapter name, filter, sudo choice) are checked and quoted.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "capture/pcap_api.h"

namespace kestrel {

// A host as the user names it: [user@]host[:port], an IPv6 address in
// brackets ("[fe80::1%eth0]:2222") or bare ("::1", then without a port).
struct RemoteHost {
    std::string spec;  // as written; adapters are named "<name>@<spec>"
    std::string user;  // empty: ssh's own choice
    std::string host;
    int port = 0;       // 0: ssh's own choice
    bool sudo = false;  // capture through `sudo -n` on the far side
};

// False with a message for anything that is not a plain host name or
// address: a host that begins with "-" (ssh would read it as an option),
// blanks, quotes, control characters, a bad port.
bool ParseRemoteHost(const std::string& spec, bool sudo, RemoteHost& host, std::string& error);

enum class RemoteTool { KestrelCapture, Tcpdump };

struct RemoteAdapter {
    std::string displayName;  // as Kestrel names adapters (their IPv4 addresses, ...)
    std::string systemName;   // what the far side's capture program is given
    RemoteTool tool = RemoteTool::KestrelCapture;
};

struct RemoteListing {
    RemoteHost host;
    bool answered = false;  // false: no listing (the reason went to stderr)
    std::vector<RemoteAdapter> adapters;
};

// Limits on what a listing may hold.
inline constexpr size_t kRemoteAdapterLimit = 100;
inline constexpr size_t kRemoteNameLimit = 255;
inline constexpr size_t kRemoteListingBytes = 256 * 1024;
// How long a host may take to list its adapters.
inline constexpr int kRemoteListTimeoutMs = 5000;

// "<display name>@<host spec>".
std::string RemoteAdapterName(const RemoteAdapter& adapter, const RemoteHost& host);

// The ssh program and its first arguments: $KESTREL_SSH split at blanks (no
// quoting), else "ssh".
std::vector<std::string> SshCommand();
// The whole argument vector that runs `remoteCommand` on `host`.
std::vector<std::string> SshArguments(const RemoteHost& host, const std::string& remoteCommand,
                                      bool noInput);

// The remote command that lists the adapters; its output is read by
// ParseListing.
std::string ListingCommand(const RemoteHost& host);
// The remote command that captures from `adapter` with `filter` (empty:
// none) and leaves out the ssh connection that carries the stream. False
// with a message for a name or filter that cannot be passed safely.
bool CaptureCommand(const RemoteHost& host, const RemoteAdapter& adapter, const std::string& filter,
                    std::string& command, std::string& error);

// The adapters of a listing, within the limits above; lines that break a
// rule are left out and said in `warnings`. False with a message when the
// output is not a listing at all.
bool ParseListing(const std::string& output, std::vector<RemoteAdapter>& adapters,
                  std::string& error, std::vector<std::string>& warnings);

// Lists the adapters of every host at once, each within `timeoutMs`. A host
// that does not answer in time, or answers with an error, is reported once
// on stderr and offers nothing. Stops early when `cancel` becomes true.
std::vector<RemoteListing> ListRemoteHosts(const std::vector<RemoteHost>& hosts,
                                           int timeoutMs = kRemoteListTimeoutMs,
                                           const std::atomic<bool>* cancel = nullptr);

// Starts the capture of `adapter` over ssh and waits for the stream's
// header. Null with the far side's own words (a refusal of sudo, of
// tcpdump, of the connection) when no stream came.
std::unique_ptr<PcapSession> OpenRemoteCapture(const RemoteHost& host, const RemoteAdapter& adapter,
                                               const std::string& filter, std::string& message);

}  // namespace kestrel
