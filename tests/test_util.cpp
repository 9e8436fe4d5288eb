#include "test_util.h"
#include "core/capture_file.h"

#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "core/byte_reader.h"
#include "core/text_helpers.h"

namespace kestrel::test {

namespace {

std::filesystem::path FolderOf(const char* variable, const char* built) {
    const char* env = std::getenv(variable);
    const std::filesystem::path dir = env && *env ? env : built;
    return std::filesystem::exists(dir) ? dir : std::filesystem::path();
}

void AddCaptures(const std::filesystem::path& dir, std::vector<std::filesystem::path>& files) {
    if (dir.empty())
        return;
    const size_t first = files.size();
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const auto ext = entry.path().extension();
        if (ext == ".pcap" || ext == ".pcapng") files.push_back(entry.path());
    }
    std::sort(files.begin() + static_cast<long>(first), files.end());
}

}  // namespace

std::filesystem::path CorpusDir() {
    return FolderOf("KESTREL_CORPUS_DIR", KESTREL_CORPUS_DIR);
}

std::filesystem::path CorpusFile(const std::string& name) {
    return std::filesystem::path(KESTREL_CORPUS_DIR) / name;
}

std::filesystem::path CapturesDir() {
    return FolderOf("KESTREL_CAPTURES_DIR", KESTREL_CAPTURES_DIR);
}

std::vector<std::filesystem::path> AllCaptureFiles() {
    std::vector<std::filesystem::path> files;
    AddCaptures(CorpusDir(), files);
    AddCaptures(CapturesDir(), files);
    return files;
}

size_t ForEachCorpusPacket(
    const std::function<void(const std::filesystem::path&, int, const Packet&)>& fn) {
    size_t visited = 0;
    for (const auto& path : AllCaptureFiles()) {
        PacketStore store;
        if (!LoadCaptureFile(path.string(), store).ok) continue;
        for (int i = 0; i < store.Count(); ++i, ++visited) fn(path, i, *store.At(i));
    }
    return visited;
}

CutPacket::CutPacket(const Packet& full, uint32_t n)
    : m_header(*full.header), m_bytes(n ? std::make_unique<uint8_t[]>(n) : nullptr) {
    if (n > full.header->caplen) n = full.header->caplen;
    m_header.caplen = n;
    if (n) std::memcpy(m_bytes.get(), full.data, n);
    m_packet = Packet{&m_header, m_bytes.get()};
}

void StoreSink(void* context, Packet* packet) {
    static_cast<PacketStore*>(context)->AppendPacket(packet);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

InstalledHelperCopy::InstalledHelperCopy() {
    const std::filesystem::path source = KESTREL_CAPTURE_PROGRAM;
    if (geteuid() != 0) {
        m_why = "making a privileged helper needs root";
        return;
    }
    if (!std::filesystem::exists(source)) {
        m_why = "kestrel-capture not built";
        return;
    }
    if (std::system("command -v setcap >/dev/null && command -v setpriv >/dev/null") != 0) {
        m_why = "setcap or setpriv missing";
        return;
    }
    if (std::system("getent group kestrel >/dev/null || groupadd --system kestrel") != 0) {
        m_why = "no group kestrel";
        return;
    }
    std::error_code ec;
    std::filesystem::copy_file(source, Helper(), ec);
    std::filesystem::create_directory(Outputs(), ec);
    const std::string helper = ShellQuote(Helper().string());
    const std::string script = "chmod 0755 " + ShellQuote(m_dir.Path().string()) +
                               " && chmod 1777 " + ShellQuote(Outputs().string()) +
                               " && chown root:kestrel " + helper + " && chmod 0750 " + helper +
                               " && setcap cap_net_raw,cap_net_admin+ep " + helper;
    if (ec || std::system(script.c_str()) != 0)
        m_why = "cannot give the helper copy its group, mode and capabilities";
}

std::filesystem::path InstalledHelperCopy::Reachable(const std::filesystem::path& program) const {
    const std::filesystem::path copy = m_dir.File(program.filename().string());
    std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec |
                                           std::filesystem::perms::others_read |
                                           std::filesystem::perms::others_exec);
    return copy;
}

int RunUnprivileged(const std::string& command, bool inGroup, const std::filesystem::path& helper,
                    std::string& output) {
    const std::string line =
        std::string("setpriv --reuid=nobody --regid=nogroup ") +
        (inGroup ? "--groups=kestrel" : "--clear-groups") +
        " --inh-caps=-all env KESTREL_CAPTURE_HELPER=" + ShellQuote(helper.string()) + " bash -c " +
        ShellQuote(command) + " 2>&1";
    FILE* pipe = popen(line.c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunInChildAsNobody(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(126);
        _exit(body());
    }
    int status = -1;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

int FreeLoopbackPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (s >= 0)
        close(s);
    return port;
}

bool Accepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok =
        s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (s >= 0)
        close(s);
    return ok;
}

std::string TextOf(const std::filesystem::path& path) {
    const auto bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

SshServer::SshServer() {
    const std::string dir = m_dir.Path().string();
    if (!std::filesystem::exists("/usr/sbin/sshd") ||
        std::system("command -v ssh >/dev/null && command -v ssh-keygen >/dev/null") != 0) {
        m_why = "OpenSSH (server and client) not installed";
        return;
    }
    const passwd* user = getpwuid(geteuid());
    m_port = FreeLoopbackPort();
    if (!user || !m_port) {
        m_why = "no user name or no free port";
        return;
    }
    const std::string keys =
        "ssh-keygen -q -t ed25519 -N '' -f " + ShellQuote(dir + "/host_key") +
        " && ssh-keygen -q -t ed25519 -N '' -f " + ShellQuote(dir + "/user_key") + " && cp " +
        ShellQuote(dir + "/user_key.pub") + " " + ShellQuote(dir + "/authorized_keys");
    if (std::system(keys.c_str()) != 0) {
        m_why = "ssh-keygen failed";
        return;
    }
    // sshd run by root wants its privilege separation folder.
    if (geteuid() == 0)
        std::filesystem::create_directories("/run/sshd");
    const std::string port = std::to_string(m_port);
    std::ofstream(m_dir.File("sshd_config"))
        << "Port " << port << "\nListenAddress 127.0.0.1\nHostKey " << dir << "/host_key\n"
        << "PidFile " << dir << "/sshd.pid\nAuthorizedKeysFile " << dir << "/authorized_keys\n"
        << "UsePAM no\nStrictModes no\nPasswordAuthentication no\n"
        << "KbdInteractiveAuthentication no\nPubkeyAuthentication yes\n"
        << "PermitRootLogin prohibit-password\nLogLevel ERROR\n";
    std::ofstream(m_dir.File("known_hosts"))
        << "[127.0.0.1]:" << port << " " << TextOf(m_dir.File("host_key.pub"));
    std::ofstream(m_dir.File("ssh_config"))
        << "Host 127.0.0.1\n  Port " << port << "\n  User " << user->pw_name << "\n  IdentityFile "
        << dir << "/user_key\n  IdentitiesOnly yes\n"
        << "  UserKnownHostsFile " << dir << "/known_hosts\n  GlobalKnownHostsFile /dev/null\n"
        << "  StrictHostKeyChecking yes\n  LogLevel ERROR\n";

    // Made before the fork: the child only calls exec.
    const std::string config = dir + "/sshd_config";
    const std::string log = dir + "/sshd.log";
    m_pid = fork();
    if (m_pid == 0) {
        execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-f", config.c_str(), "-E", log.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m_pid > 0 && !Accepts(m_port)) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid ||
            std::chrono::steady_clock::now() > deadline) {
            m_why = "sshd did not start: " + TextOf(m_dir.File("sshd.log"));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string probe = SshCommand() +
                              " -o BatchMode=yes -o ConnectTimeout=5 127.0.0.1 true 2>" +
                              ShellQuote(dir + "/probe.err");
    if (m_pid < 0 || std::system(probe.c_str()) != 0)
        m_why = "ssh cannot log in through the test's sshd: " + TextOf(m_dir.File("probe.err")) +
                TextOf(m_dir.File("sshd.log"));
}

SshServer::~SshServer() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
}

std::string SshServer::SshCommand() const {
    return "ssh -F " + m_dir.File("ssh_config").string();
}

std::string ShellQuote(const std::string& text) {
    return "'" + text + "'";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::vector<uint8_t> Hex(std::string_view text) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char ch : text) {
        int v;
        if (ch >= '0' && ch <= '9') v = ch - '0';
        else if (ch >= 'a' && ch <= 'f') v = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F') v = ch - 'A' + 10;
        else continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits");
    return out;
}

Packet* MakeTestPacket(const std::vector<uint8_t>& bytes, uint32_t tv_sec, uint32_t tv_usec,
                       uint32_t len) {
    PacketHeader h;
    h.tv_sec = tv_sec;
    h.tv_usec = tv_usec;
    h.caplen = static_cast<uint32_t>(bytes.size());
    h.len = len ? len : h.caplen;
    return MakePacket(h, bytes.data());
}

void FixIpv4Checksums(std::vector<uint8_t>& f, bool transport) {
    if (f.size() < 34) return;
    const size_t h = (f[14] & 0x0F) * 4u;
    if (f.size() < 14 + h) return;
    f[24] = f[25] = 0;
    uint16_t c = InternetChecksum(f.data() + 14, static_cast<int>(h));
    f[24] = static_cast<uint8_t>(c & 0xFF);  // stored low byte first
    f[25] = static_cast<uint8_t>(c >> 8);
    if (!transport) return;
    const size_t s = 14 + h;
    const size_t total = static_cast<size_t>(f[16] << 8 | f[17]);
    if (total < h || f.size() < 14 + total) return;
    const uint16_t segment = static_cast<uint16_t>(total - h);
    const uint8_t protocol = f[23];
    auto put = [&](size_t at, uint16_t value) {
        f[at] = static_cast<uint8_t>(value & 0xFF);
        f[at + 1] = static_cast<uint8_t>(value >> 8);
    };
    if (protocol == 6 && segment >= 18) {
        f[s + 16] = f[s + 17] = 0;
        put(s + 16, *TransportChecksum(ByteReader(f.data(), f.size()), 14, segment));
    } else if (protocol == 17 && segment >= 8) {
        const uint16_t udpLength = static_cast<uint16_t>(f[s + 4] << 8 | f[s + 5]);
        f[s + 6] = f[s + 7] = 0;
        const uint16_t c = *TransportChecksum(ByteReader(f.data(), f.size()), 14, udpLength);
        put(s + 6, c == 0 ? 0xFFFF : c);  // 0 would mean "no checksum"

    } else if ((protocol == 1 || protocol == 2) && segment >= 4) {
        f[s + 2] = f[s + 3] = 0;
        const int n = protocol == 2 ? 8 : segment;
        put(s + 2, InternetChecksum(f.data() + s, n));
    }
}

std::thread FeedFifo(const std::filesystem::path& path, std::vector<uint8_t> bytes) {
    if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    return std::thread([path, bytes = std::move(bytes)] {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    });
}

std::vector<uint8_t> PcapStream(int count, uint32_t linkType) {
    std::vector<uint8_t> bytes;
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    for (uint32_t v : {0xA1B2C3D4u, 0x00040002u, 0u, 0u, 65536u, linkType}) put32(v);
    for (int i = 0; i < count; ++i) {
        for (uint32_t v : {1700000000u + static_cast<uint32_t>(i), 0u, 60u, 60u}) put32(v);
        for (int k = 0; k < 60; ++k) bytes.push_back(static_cast<uint8_t>(k == 12 ? 8 : i));
    }
    return bytes;
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace kestrel::test
