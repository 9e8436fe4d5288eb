// Shared helpers of the test programs: the real capture corpus, temporary
// files, and frames written out as hex.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/packet.h"
#include "core/packet_store.h"

namespace kestrel::test {

// The project's own capture corpus (tests/corpus, written by
// kestrel-make-corpus); KESTREL_CORPUS_DIR in the environment points elsewhere.
std::filesystem::path CorpusDir();
// Path of one file of the project's corpus.
std::filesystem::path CorpusFile(const std::string& name);
// Folder of the peer captures (../shared/captures), or empty when it is not there.
std::filesystem::path CapturesDir();

// Every capture file of the project's corpus, then those of the peer
// captures when they are there.
std::vector<std::filesystem::path> AllCaptureFiles();

// Calls fn(file, index, packet) for every packet of every capture file that
// loads; returns how many packets it visited.
size_t ForEachCorpusPacket(
    const std::function<void(const std::filesystem::path&, int, const Packet&)>& fn);

// The first `n` bytes of a packet in a heap block of exactly `n` bytes, so
// AddressSanitizer reports any read beyond the cut.
class CutPacket {
public:
    CutPacket(const Packet& full, uint32_t n);
    const Packet& Get() const { return m_packet; }
    std::span<const uint8_t> Bytes() const { return {m_bytes.get(), m_header.caplen}; }

private:
    PacketHeader m_header;
    std::unique_ptr<uint8_t[]> m_bytes;
    Packet m_packet;
};

// A packet sink whose context is a PacketStore: the packet is appended.
void StoreSink(void* context, Packet* packet);

// A fresh temporary folder, removed when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path File(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// "45 00 00 1c ..." (spaces, newlines and ':' ignored) to bytes.
std::vector<uint8_t> Hex(std::string_view text);

// A packet holding `bytes`, with caplen = len = size unless `len` is given.
Packet* MakeTestPacket(const std::vector<uint8_t>& bytes, uint32_t tv_sec = 0,
                       uint32_t tv_usec = 0, uint32_t len = 0);

// Sets the IPv4 header checksum (frame offset 24-25) of a frame whose IPv4
// header starts at 14, and, when `transport` is true, the TCP/UDP/ICMP/IGMP
// checksum too, so hand-written frames are valid.
void FixIpv4Checksums(std::vector<uint8_t>& frame, bool transport = true);

// The local time zone set to `zone` (a TZ value) for the object's lifetime.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        // An empty TZ (UTC) is restored as such, not as an unset one.
        if (m_old)
            setenv("TZ", m_old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> m_old;
};

// Makes a FIFO at `path` and a thread that writes `bytes` into it once a
// reader has opened it; join the thread after reading.
std::thread FeedFifo(const std::filesystem::path& path, std::vector<uint8_t> bytes);

// A copy of the capture helper kestrel-capture as its installation makes it:
// root:kestrel, mode 0750, with cap_net_raw,cap_net_admin, in a private
// temporary folder that everyone may enter; beside it a folder everyone may
// write to. The folder goes with the object. Needs root,
// setcap and setpriv (the group kestrel is made when missing); Why() says
// what was missing otherwise.
class InstalledHelperCopy {
public:
    InstalledHelperCopy();
    bool Usable() const { return m_why.empty(); }
    const std::string& Why() const { return m_why; }
    std::filesystem::path Helper() const { return m_dir.File("kestrel-capture"); }
    std::filesystem::path Outputs() const { return m_dir.File("out"); }
    // A copy of `program` beside the helper, which the unprivileged user can
    // run wherever the build tree lives (a clone in a 0700 home folder, say).
    std::filesystem::path Reachable(const std::filesystem::path& program) const;

private:
    TempDir m_dir;
    std::string m_why;
};

// Runs `command` through bash as the user nobody, without any capability,
// in the group kestrel when `inGroup` (else in no group at all), with
// KESTREL_CAPTURE_HELPER set to `helper`. Returns the exit status (-1 when
// it could not run) and what it wrote to stdout and stderr in `output`.
// (Through bash: exec'ing the program straight from setpriv does not check
// the file's mode as a login of that user would.)
int RunUnprivileged(const std::string& command, bool inGroup, const std::filesystem::path& helper,
                    std::string& output);

// Runs `body` in a forked child as the user and group nobody (65534) and
// returns its result, the child's exit status (0 to 125); 126 when the child
// could not become nobody, -1 when it did not end normally. Needs root.
int RunInChildAsNobody(const std::function<int()>& body);

// An OpenSSH server on 127.0.0.1 for the user running the test: host and
// user keys made in a temporary folder, a free unprivileged port, its own
// sshd_config (no PAM, no strict modes, the authorized keys in the folder).
// The client's settings (port, user, identity, known hosts) are in a config
// file for `ssh -F`. Usable() is false, with Why(), where sshd cannot start
// or ssh cannot log in through it.
class SshServer {
public:
    SshServer();
    ~SshServer();
    SshServer(const SshServer&) = delete;
    SshServer& operator=(const SshServer&) = delete;
    bool Usable() const { return m_why.empty(); }
    const std::string& Why() const { return m_why; }
    int Port() const { return m_port; }
    // The ssh command that reaches the server as host 127.0.0.1 (a value of
    // KESTREL_SSH): "ssh -F <config>".
    std::string SshCommand() const;

private:
    TempDir m_dir;
    int m_port = 0;
    pid_t m_pid = -1;
    std::string m_why;
};

// "'text'" for a shell, for texts without single quotes.
std::string ShellQuote(const std::string& text);

// A pcap stream (file header and records) of `count` 60-byte frames of link
// type `linkType`, stamped 1700000000 + their index.
std::vector<uint8_t> PcapStream(int count, uint32_t linkType = 1);

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

}  // namespace kestrel::test
