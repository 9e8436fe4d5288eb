#include "capture/remote.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "capture/child_process.h"
#include "capture/device_names.h"
#include "capture/stream_session.h"

namespace kestrel {

namespace {

using Clock = std::chrono::steady_clock;

// ssh waits this long for the connection itself; the stream's header may
// take longer (authentication, sudo, the capture program's start).
constexpr int kConnectTimeoutSeconds = 5;
constexpr int kCaptureHeaderTimeoutMs = 15000;
// A lost connection is noticed after about 3 x 5 s without an answer.
constexpr const char* kServerAlive[] = {"-o", "ServerAliveInterval=5", "-o",
                                        "ServerAliveCountMax=3"};

constexpr const char* kPath =
    "PATH=$PATH:/usr/sbin:/sbin:/usr/local/sbin:/usr/local/bin; export PATH; ";

// Run by `sh -c` on the far side, whatever the user's login shell: one
// line, no single quote, no backslash pair, no "!". $1: 1 to use sudo -n.
// Prints "kestrel-capture" and that program's listing, or "tcpdump", the
// output of tcpdump -D, "--", the output of ip -4 -o addr, "--" and the
// output of ip -o link.
constexpr const char* kListingScript =
    "if o=$(kestrel-capture --list 2>/dev/null); then echo kestrel-capture; "
    "printf \"%s\\n\" \"$o\"; exit 0; fi; "
    "if [ \"$1\" = 1 ] && o=$(sudo -n kestrel-capture --list 2>/dev/null); then "
    "echo kestrel-capture; printf \"%s\\n\" \"$o\"; exit 0; fi; "
    "if command -v tcpdump >/dev/null 2>&1; then echo tcpdump; tcpdump -D 2>/dev/null; "
    "echo --; ip -4 -o addr 2>/dev/null; echo --; ip -o link 2>/dev/null; exit 0; fi; "
    "echo \"neither kestrel-capture nor tcpdump is installed\" >&2; exit 3";

// $1 the program (kestrel-capture or tcpdump), $2 1 to use sudo -n, $3 the
// adapter's system name, $4 the user's filter (may be empty). The filter
// is extended to leave out the connection in SSH_CLIENT ("client address,
// client port, server port"), which carries the stream: by the client's
// address and port alone, since the server port that sshd sees is not the
// one on the wire when the connection comes through a port forward. The
// address loses its IPv6 scope ("fe80::1%eth0"), which libpcap does not
// read. kestrel-capture stops by itself when ssh closes its standard
// input; tcpdump does not read it, so a watcher ends tcpdump then, instead
// of leaving it running on a quiet adapter.
constexpr const char* kCaptureScript =
    "t=$1; i=$3; f=$4; s=; if [ \"$2\" = 1 ]; then s=\"sudo -n\"; fi; set -f; x=; "
    "if [ -n \"${SSH_CLIENT:-}\" ]; then set -- $SSH_CLIENT; a=${1%%[%]*}; "
    "x=\"not (tcp and ((src host $a and src port $2) or (dst host $a and dst port $2)))\"; fi; "
    "if [ -n \"$f\" ] && [ -n \"$x\" ]; then f=\"($f) and $x\"; "
    "elif [ -n \"$x\" ]; then f=$x; fi; "
    "if [ \"$t\" = kestrel-capture ]; then exec $s kestrel-capture -i \"$i\" ${f:+-f \"$f\"}; fi; "
    "m=; if tcpdump --help 2>&1 | grep -q -e --immediate-mode; then m=--immediate-mode; fi; "
    "exec 3<&0; $s tcpdump -i \"$i\" $m -U -s 65536 -w - ${f:+\"$f\"} </dev/null & p=$!; "
    "exec >/dev/null; { cat <&3 >/dev/null; kill $p; } 2>/dev/null & w=$!; exec 3<&-; "
    "wait $p; r=$?; kill $w 2>/dev/null; exit $r";

bool IsNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

// An adapter's system name as it may go into the remote command.
bool IsSafeSystemName(const std::string& name) {
    if (name.empty() || name.size() > kRemoteNameLimit || name[0] == '-')
        return false;
    for (char c : name) {
        if (!IsNameByte(c) && c != ':' && c != '+')
            return false;
    }
    return true;
}

// Text that shows as itself: valid UTF-8 without control characters of any
// kind (DisplayableText leaves it unchanged).
bool IsPrintable(const std::string& text) { return DisplayableText(text) == text; }

// A word for the far side's shell: in single quotes, which the callers'
// checks keep out of the word.
void AppendQuoted(std::string& out, std::string_view word) {
    out += '\'';
    out += word;
    out += '\'';
}

std::string ShellCommand(const char* script, const std::vector<std::string>& args) {
    std::string command = "sh -c '";
    command += kPath;
    command += script;
    command += "' kestrel";
    for (const std::string& arg : args) {
        command += ' ';
        AppendQuoted(command, arg);
    }
    return command;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        size_t end = i;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
        if (end > i)
            words.push_back(text.substr(i, end - i));
        i = end;
    }
    return words;
}

// One line of tcpdump -D: "1.eth0 [Up, Running]", "5.any (Pseudo-device
// that captures on all interfaces) [Up, Running]".
bool ParseTcpdumpLine(const std::string& line, PcapDevice& device) {
    const size_t dot = line.find('.');
    if (dot == 0 || dot == std::string::npos)
        return false;
    for (size_t i = 0; i < dot; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
    }
    const std::string rest = line.substr(dot + 1);
    const size_t blank = rest.find(' ');
    device.name = rest.substr(0, blank);
    std::string tail = blank == std::string::npos ? std::string() : rest.substr(blank + 1);
    if (!tail.empty() && tail.back() == ']') {
        const size_t flags = tail.rfind('[');
        tail = flags == std::string::npos ? std::string() : tail.substr(0, flags);
        while (!tail.empty() && tail.back() == ' ') tail.pop_back();
    }
    if (tail.size() >= 2 && tail.front() == '(' && tail.back() == ')')
        device.description = tail.substr(1, tail.size() - 2);
    return true;
}

}  // namespace

bool ParseRemoteHost(const std::string& spec, bool sudo, RemoteHost& out, std::string& error) {
    RemoteHost host;
    host.spec = spec;
    host.sudo = sudo;
    auto refuse = [&](const std::string& why) {
        error = "ﾘﾓｰﾄ ﾎｽﾄ \"" + DisplayableText(spec) + "\" は使えません: " + why;
        return false;
    };
    if (spec.empty() || spec.size() > 300)
        return refuse("空か長すぎます。");
    if (spec[0] == '-')
        return refuse("\"-\" で始まるﾎｽﾄは受け付けません。");
    std::string rest = spec;
    if (const size_t at = rest.rfind('@'); at != std::string::npos) {
        host.user = rest.substr(0, at);
        rest = rest.substr(at + 1);
        if (host.user.empty() || host.user[0] == '-')
            return refuse("ﾕｰｻﾞｰ名がありません。");
        for (char c : host.user) {
            if (!IsNameByte(c))
                return refuse("ﾕｰｻﾞｰ名に使えない文字があります。");
        }
    }
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos)
            return refuse("\"]\" がありません。");
        host.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':')
                return refuse("\"]\" の後は \":ﾎﾟｰﾄ\" だけです。");
            port = after.substr(1);
            if (port.empty())
                return refuse("ﾎﾟｰﾄ番号がありません。");
        }
    } else if (const size_t colon = rest.find(':');
               colon != std::string::npos && rest.find(':', colon + 1) == std::string::npos) {
        host.host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (port.empty())
            return refuse("ﾎﾟｰﾄ番号がありません。");
    } else {
        host.host = rest;  // a name, an IPv4 address or a bare IPv6 address
    }
    if (host.host.empty() || host.host[0] == '-')
        return refuse("ﾎｽﾄ名がありません。");
    for (char c : host.host) {
        if (!IsNameByte(c) && c != ':' && c != '%')
            return refuse("ﾎｽﾄ名に使えない文字があります。");
    }
    if (!port.empty()) {
        if (port.size() > 5)
            return refuse("ﾎﾟｰﾄ番号が正しくありません。");
        for (char c : port) {
            if (c < '0' || c > '9')
                return refuse("ﾎﾟｰﾄ番号が正しくありません。");
        }
        host.port = std::atoi(port.c_str());
        if (host.port < 1 || host.port > 65535)
            return refuse("ﾎﾟｰﾄ番号が正しくありません。");
    }
    out = std::move(host);
    return true;
}

std::string RemoteAdapterName(const RemoteAdapter& adapter, const RemoteHost& host) {
    return adapter.displayName + "@" + host.spec;
}

std::vector<std::string> SshCommand() {
    if (const char* chosen = std::getenv("KESTREL_SSH"); chosen && *chosen) {
        std::vector<std::string> words = Words(chosen);
        if (!words.empty())
            return words;
    }
    return {"ssh"};
}

std::vector<std::string> SshArguments(const RemoteHost& host, const std::string& remoteCommand,
                                      bool noInput) {
    std::vector<std::string> argv = SshCommand();
    for (const char* option : {"-o", "BatchMode=yes", "-T", "-x", "-a", "-e", "none"})
        argv.push_back(option);
    argv.push_back("-o");
    argv.push_back("ConnectTimeout=" + std::to_string(kConnectTimeoutSeconds));
    for (const char* option : kServerAlive) argv.push_back(option);
    if (noInput)
        argv.push_back("-n");
    if (host.port) {
        argv.push_back("-p");
        argv.push_back(std::to_string(host.port));
    }
    if (!host.user.empty()) {
        argv.push_back("-l");
        argv.push_back(host.user);
    }
    argv.push_back("--");
    argv.push_back(host.host);
    argv.push_back(remoteCommand);
    return argv;
}

std::string ListingCommand(const RemoteHost& host) {
    return ShellCommand(kListingScript, {host.sudo ? "1" : "0"});
}

bool CaptureCommand(const RemoteHost& host, const RemoteAdapter& adapter, const std::string& filter,
                    std::string& command, std::string& error) {
    if (!IsSafeSystemName(adapter.systemName)) {
        error = "ﾘﾓｰﾄ ﾃﾞﾊﾞｲｽ名 \"" + DisplayableText(adapter.systemName) + "\" は使えません。";
        return false;
    }
    if (filter.size() > 4096) {
        error = "ﾌｨﾙﾀｰが長すぎます。";
        return false;
    }
    for (char c : filter) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || c == '\'' || c == '\\') {
            error = "ﾘﾓｰﾄ ｷｬﾌﾟﾁｬｰのﾌｨﾙﾀｰには、制御文字、' と \\ 以外の ASCII 文字だけを使えます。";
            return false;
        }
    }
    command = ShellCommand(kCaptureScript,
                           {adapter.tool == RemoteTool::Tcpdump ? "tcpdump" : "kestrel-capture",
                            host.sudo ? "1" : "0", adapter.systemName, filter});
    return true;
}

bool ParseListing(const std::string& output, std::vector<RemoteAdapter>& adapters,
                  std::string& error, std::vector<std::string>& warnings) {
    adapters.clear();
    std::vector<std::string> lines = Split(output, '\n');
    for (std::string& line : lines) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    }
    if (lines.empty() || (lines[0] != "kestrel-capture" && lines[0] != "tcpdump")) {
        error = "ｱﾀﾞﾌﾟﾀｰの一覧ではありません。";
        return false;
    }
    size_t refused = 0;
    bool overLimit = false;
    auto usable = [](const std::string& text) {
        return text.size() <= 2 * kRemoteNameLimit + 64 && IsPrintable(text);
    };
    // A name as it is offered, "<name>@<host>": an "@" in it would read as
    // part of a host, another machine's adapter.
    auto usableName = [&](const std::string& name) {
        return !name.empty() && name.size() <= kRemoteNameLimit && usable(name) &&
               name.find('@') == std::string::npos;
    };
    if (lines[0] == "kestrel-capture") {
        for (size_t i = 1; i < lines.size(); ++i) {
            if (lines[i].empty())
                continue;
            // "display name TAB system name"
            const size_t tab = lines[i].find('\t');
            RemoteAdapter adapter;
            adapter.tool = RemoteTool::KestrelCapture;
            if (tab != std::string::npos) {
                adapter.displayName = lines[i].substr(0, tab);
                adapter.systemName = lines[i].substr(tab + 1);
            }
            if (!usableName(adapter.displayName) || !IsSafeSystemName(adapter.systemName)) {
                ++refused;
                continue;
            }
            if (adapters.size() == kRemoteAdapterLimit) {
                overLimit = true;
                break;
            }
            adapters.push_back(std::move(adapter));
        }
    } else {
        std::vector<PcapDevice> devices;
        std::map<std::string, size_t> byName;
        size_t i = 1;
        for (; i < lines.size() && lines[i] != "--"; ++i) {
            if (lines[i].empty())
                continue;
            PcapDevice device;
            if (!usable(lines[i]) || !ParseTcpdumpLine(lines[i], device) ||
                !IsSafeSystemName(device.name) ||
                (device.description && device.description->size() > kRemoteNameLimit) ||
                byName.count(device.name)) {
                ++refused;
                continue;
            }
            if (devices.size() == kRemoteAdapterLimit) {
                overLimit = true;
                break;
            }
            byName[device.name] = devices.size();
            devices.push_back(std::move(device));
        }
        while (i < lines.size() && lines[i] != "--") ++i;  // past adapters over the limit
        for (++i; i < lines.size() && lines[i] != "--"; ++i) {
            // "2: eth0    inet 192.0.2.2/24 brd ... scope global eth0"
            const std::vector<std::string> words = Words(lines[i]);
            if (words.size() < 4 || words[2] != "inet" || !IsPrintable(lines[i]))
                continue;
            std::string name = words[1];
            if (const size_t at = name.find('@'); at != std::string::npos)
                name.resize(at);
            auto it = byName.find(name);
            if (it == byName.end())
                continue;
            const std::string address = words[3].substr(0, words[3].find('/'));
            in_addr parsed{};
            if (inet_pton(AF_INET, address.c_str(), &parsed) != 1)
                continue;
            PcapAddressEntry entry;
            entry.family = PcapAddressEntry::Family::Ipv4;
            std::memcpy(entry.ipv4.data(), &parsed, 4);
            devices[it->second].addresses.push_back(entry);
        }
        // "2: eth0: <BROADCAST,...> mtu 1500 ... link/ether 52:54:00:12:34:56 ...":
        // the kinds of the network devices. When the far side told them,
        // only its Ethernet and loopback devices are offered (not tcpdump's
        // any, nflog, usbmon... nor tunnels), as for the adapters here.
        std::set<std::string> ethernet;
        bool kindsTold = false;
        for (++i; i < lines.size(); ++i) {
            const std::vector<std::string> words = Words(lines[i]);
            if (words.size() < 3 || words[1].size() < 2 || words[1].back() != ':')
                continue;
            kindsTold = true;
            std::string name = words[1].substr(0, words[1].size() - 1);
            if (const size_t at = name.find('@'); at != std::string::npos)
                name.resize(at);
            for (const std::string& word : words) {
                if (word == "link/ether" || word == "link/loopback")
                    ethernet.insert(name);
            }
        }
        for (PcapDevice& device : devices)
            device.ethernet = !kindsTold || ethernet.count(device.name) > 0;
        const std::vector<PcapDevice> offered = EthernetDevices(devices);
        const std::vector<std::string> names = NameDevices(offered);
        for (size_t k = 0; k < offered.size(); ++k) {
            if (!usableName(names[k])) {
                ++refused;
                continue;
            }
            adapters.push_back({names[k], offered[k].name, RemoteTool::Tcpdump});
        }
    }
    if (refused)
        warnings.push_back(std::to_string(refused) +
                           " 行が長すぎるか、使えない文字を含むため除きました。");
    if (overLimit)
        warnings.push_back("ｱﾀﾞﾌﾟﾀｰが " + std::to_string(kRemoteAdapterLimit) +
                           " を超えるため、残りは除きました。");
    return true;
}

std::vector<RemoteListing> ListRemoteHosts(const std::vector<RemoteHost>& hosts, int timeoutMs,
                                           const std::atomic<bool>* cancel) {
    struct Job {
        std::unique_ptr<ChildProcess> child;
        std::string output;
        bool reading = true;
        bool tooLong = false;
    };
    std::vector<RemoteListing> listings(hosts.size());
    std::vector<Job> jobs(hosts.size());
    auto report = [](const RemoteHost& host, const std::string& text) {
        std::fprintf(stderr, "ﾘﾓｰﾄ ﾎｽﾄ %s: %s\n", DisplayableText(host.spec).c_str(),
                     text.c_str());
    };
    for (size_t i = 0; i < hosts.size(); ++i) {
        listings[i].host = hosts[i];
        std::string error;
        int spawnErrno = 0;
        jobs[i].child = ChildProcess::Start(SshArguments(hosts[i], ListingCommand(hosts[i]), true),
                                            error, spawnErrno);
        if (!jobs[i].child) {
            report(hosts[i], "ssh を実行できません: " + error);
            jobs[i].reading = false;
        }
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<size_t> owners;
        for (size_t i = 0; i < jobs.size(); ++i) {
            if (jobs[i].reading) {
                fds.push_back({jobs[i].child->Output(), POLLIN, 0});
                owners.push_back(i);
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (fds.empty() || left <= 0 || (cancel && cancel->load()))
            break;
        const int r =
            ::poll(fds.data(), fds.size(), static_cast<int>(std::min<int64_t>(left, 100)));
        if (r <= 0)
            continue;
        for (size_t k = 0; k < fds.size(); ++k) {
            if (!fds[k].revents)
                continue;
            Job& job = jobs[owners[k]];
            char buffer[16384];
            const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                job.output.append(buffer, static_cast<size_t>(n));
                if (job.output.size() > kRemoteListingBytes) {
                    job.tooLong = true;
                    job.reading = false;
                }
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                job.reading = false;
            }
        }
    }
    const bool canceled = cancel && cancel->load();
    for (size_t i = 0; i < jobs.size(); ++i) {
        Job& job = jobs[i];
        if (!job.child)
            continue;
        const RemoteHost& host = hosts[i];
        if (job.reading || job.tooLong) {
            job.child->RequestStop(0, 500);
            if (canceled)
                continue;
            if (job.tooLong)
                report(host, "ｱﾀﾞﾌﾟﾀｰの一覧が長すぎます。");
            else
                report(host,
                       std::to_string((timeoutMs + 999) / 1000) + " 秒以内に応答しませんでした。");
            continue;
        }
        // Its output ended: it is ending, if it has not already.
        if (!job.child->WaitForExit(1000)) {
            job.child->RequestStop(0, 500);
            report(host, "ssh が終了しません。");
            continue;
        }
        const int status = job.child->WaitStatus();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::string words = ProgramMessage(job.child->ErrorOutput());
            if (words.empty())
                words = "ssh の終了ｺｰﾄﾞ " +
                        std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            report(host, words);
            continue;
        }
        std::string error;
        std::vector<std::string> warnings;
        if (!ParseListing(job.output, listings[i].adapters, error, warnings)) {
            report(host, error);
            continue;
        }
        for (const std::string& warning : warnings) report(host, warning);
        listings[i].answered = true;
    }
    return listings;
}

std::unique_ptr<PcapSession> OpenRemoteCapture(const RemoteHost& host, const RemoteAdapter& adapter,
                                               const std::string& filter, std::string& message) {
    std::string command;
    if (!CaptureCommand(host, adapter, filter, command, message))
        return nullptr;
    std::string error;
    int spawnErrno = 0;
    std::unique_ptr<ChildProcess> child =
        ChildProcess::Start(SshArguments(host, command, false), error, spawnErrno);
    if (!child) {
        message = "ssh を実行できません: " + error;
        return nullptr;
    }
    ProcessStream stream;
    stream.child = std::move(child);
    stream.name = "ssh " + DisplayableText(host.spec);
    stream.headerTimeoutMs = kCaptureHeaderTimeoutMs;
    // The far side stops once ssh closes its input; signals only if it
    // does not.
    stream.stop = StopPolicy{2000, 4000};
    stream.lostText = "ﾘﾓｰﾄ ﾎｽﾄ " + DisplayableText(host.spec) + " との接続が切れました";
    return OpenProcessStream(std::move(stream), message);
}

}  // namespace kestrel
