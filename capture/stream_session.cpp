#include "capture/stream_session.h"

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/capture_reader.h"

namespace kestrel {

namespace {

constexpr const char* kHelperName = "kestrel-capture";
// The helper writes its header once the adapter is open: at once.
constexpr int kHelperHeaderTimeoutMs = 10000;
// Once its stream has ended, a program gets this long to end by itself.
constexpr int kEndGraceMs = 1000;
// Lines of a program's standard error shown to the user.
constexpr size_t kMessageLines = 6;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty())
            lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

bool StartsWithNumber(const std::string& line, uint64_t& number) {
    if (line.empty() || line[0] < '0' || line[0] > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(line.c_str(), &end, 10);
    if (errno)
        return false;
    number = n;
    return true;
}

// "kestrel-capture: N packets captured, D dropped by the kernel"
constexpr const char* kHelperStatsEnd = " dropped by the kernel";
// tcpdump's "N packets captured", "... received by filter", "... dropped by
// kernel", "... dropped by interface"
bool IsStatisticsLine(const std::string& line) {
    uint64_t n;
    if (StartsWithNumber(line, n) && line.find(" packet") != std::string::npos)
        return true;
    if (line.rfind("kestrel-capture: ", 0) == 0 && line.size() > std::strlen(kHelperStatsEnd) &&
        line.compare(line.size() - std::strlen(kHelperStatsEnd), std::string::npos,
                     kHelperStatsEnd) == 0)
        return true;
    return line.find("listening on ") != std::string::npos ||  // tcpdump's start line
           line.rfind("Warning: Permanently added ", 0) == 0;  // ssh's first-contact note
}

// The length of the valid UTF-8 sequence at text[i], with its code point
// in `code`; 0 when the bytes there are not one (a stray continuation
// byte, an overlong form, a surrogate, a cut sequence).
size_t DecodeUtf8(std::string_view text, size_t i, char32_t& code) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - i < length)
        return 0;
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    return length;
}

// Characters that act on a terminal or on the direction of the text around
// them rather than showing as themselves.
bool IsHiddenControl(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x061C || code == 0x200E ||
           code == 0x200F || (code >= 0x2028 && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

std::string WaitStatusText(int status) {
    if (WIFEXITED(status))
        return "終了ｺｰﾄﾞ " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("ｼｸﾞﾅﾙ ") + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "終了状態 " + std::to_string(status);
}

class StreamSession final : public PcapSession {
public:
    StreamSession() : m_cancel(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~StreamSession() override {
        m_reader.reset();  // before the descriptor it reads goes with the child
        m_child.reset();
        if (m_cancel >= 0)
            ::close(m_cancel);
    }

    // A stream of the program's standard output.
    void SetProcess(ProcessStream stream) {
        m_child = std::move(stream.child);
        m_name = std::move(stream.name);
        m_headerTimeoutMs = stream.headerTimeoutMs;
        m_stop = stream.stop;
        m_lostText = std::move(stream.lostText);
        m_keepsHeldFrames = stream.keepsHeldFrames;
    }
    void SetPath(const std::string& path) {
        m_path = path;
        m_name = path;
    }

    // Opens the reader (reads the stream's header). False with a message;
    // false without one when a stop came first.
    bool Open(std::string& message) {
        const ReadLimits limits{m_child ? m_headerTimeoutMs : -1, -1, m_cancel};
        const auto started = std::chrono::steady_clock::now();
        m_reader = std::make_unique<CaptureReader>();
        std::string error;
        bool opened;
        if (m_child)
            opened = m_reader->OpenDescriptor(m_child->Output(), m_name, limits, error);
        else
            opened = m_reader->Open(m_path, limits, error);
        if (Stopped())
            return false;
        if (opened && m_child && m_reader->Kind() == FileKind::Pac) {
            opened = false;
            error = m_name + " の出力は pcap の流れではありません。";
        }
        if (opened)
            return true;
        if (m_child) {
            if (m_child->WaitForExit(kEndGraceMs)) {
                // It ended by itself: its own words say why.
                const std::string words = ProgramMessage(m_child->ErrorOutput());
                error = !words.empty() ? words
                                       : m_lostText + " (" + WaitStatusText(m_child->WaitStatus()) +
                                             ")\n" + error;
            } else {
                if (std::chrono::steady_clock::now() - started >=
                    std::chrono::milliseconds(m_headerTimeoutMs))
                    error = m_name + " から " + std::to_string(m_headerTimeoutMs / 1000) +
                            " 秒待ってもﾃﾞｰﾀが届きません。";
                m_child->RequestStop(0, m_stop.killAfterMs);
            }
        }
        message = error;
        return false;
    }

    int DataLink() override {
        // The reader refuses streams of any other link type.
        return kLinkTypeEthernet;
    }

    int Next(PacketHeader& header, const uint8_t*& data) override {
        if (m_ended)
            return -2;
        if (!m_reader) {
            std::string message;
            if (!Open(message)) {
                m_ended = true;
                if (Stopped())
                    return -2;
                m_error = message;
                return -1;
            }
        }
        CaptureReader::Result result;
        for (;;) {
            result = m_reader->Next();
            if (result != CaptureReader::Result::Packet)
                break;
            const Packet& packet = m_reader->Current();
            const int64_t finishMicros = m_finishMicros.load(std::memory_order_acquire);
            // The program stops a little after us: what it saw later is not
            // kept.
            if (finishMicros != 0 &&
                static_cast<int64_t>(packet.header->tv_sec) * 1000000 + packet.header->tv_usec >
                    finishMicros)
                continue;
            header = *packet.header;
            data = packet.data;
            return 1;
        }
        m_ended = true;
        if (Stopped())
            return -2;
        const bool failed = result == CaptureReader::Result::Failed;
        if (!m_child) {
            if (!failed)
                return -2;
            m_error = m_reader->Error();
            return -1;
        }
        // The program's stream ended without a stop: it should be ending.
        m_child->RequestStop(m_stop.termAfterMs + kEndGraceMs, m_stop.killAfterMs + kEndGraceMs);
        m_child->WaitForExit(m_stop.killAfterMs + 2 * kEndGraceMs);
        const int status = m_child->WaitStatus();
        if (!failed && m_child->Exited() && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return -2;
        m_error = ProgramMessage(m_child->ErrorOutput());
        if (m_error.empty()) {
            m_error = failed ? m_reader->Error() : m_lostText + " (" + WaitStatusText(status) + ")";
        }
        return -1;
    }

    const char* ErrorText() override { return m_error.c_str(); }

    bool KernelDrops(uint64_t& dropped) override {
        // The program counts them and says so when it ends. (Not while it
        // still writes what it held at a stop: it would wait on the pipe.)
        if (!m_child || !(m_ended || m_stopRequested.load(std::memory_order_acquire)))
            return false;
        if (!m_dropsRead) {
            m_child->RequestStop(m_stop.termAfterMs, m_stop.killAfterMs);
            m_child->WaitForExit(m_stop.killAfterMs + kEndGraceMs);
            m_dropsKnown = ParseKernelDrops(m_child->ErrorOutput(), m_drops);
            m_dropsRead = true;
        }
        if (m_dropsKnown)
            dropped = m_drops;
        return m_dropsKnown;
    }

    void BreakLoop() override {
        m_stopRequested.store(true, std::memory_order_release);
        if (m_cancel >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(m_cancel, &one, sizeof one);
        }
        if (m_child)
            m_child->RequestStop(m_stop.termAfterMs, m_stop.killAfterMs);
    }

    bool Finish() override {
        if (!m_child || !m_keepsHeldFrames) {
            BreakLoop();
            return false;
        }
        int64_t none = 0;
        m_finishMicros.compare_exchange_strong(none, FrameClockMicros());
        m_child->RequestStop(m_stop.termAfterMs, m_stop.killAfterMs);
        return true;
    }

private:
    bool Stopped() const {
        return m_stopRequested.load(std::memory_order_acquire) ||
               m_finishMicros.load(std::memory_order_acquire) != 0 ||
               (m_reader && m_reader->Canceled());
    }

    int m_cancel;
    std::unique_ptr<ChildProcess> m_child;
    std::string m_path;
    std::string m_name;
    int m_headerTimeoutMs = -1;
    StopPolicy m_stop;
    std::string m_lostText;
    bool m_keepsHeldFrames = false;
    std::atomic<int64_t> m_finishMicros{0};  // the time of day of Finish; 0: none
    std::unique_ptr<CaptureReader> m_reader;
    bool m_ended = false;
    std::atomic<bool> m_stopRequested{false};
    std::string m_error;
    bool m_dropsRead = false;
    bool m_dropsKnown = false;
    uint64_t m_drops = 0;
};

bool IsFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ProgramFolder() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    std::string path(buffer, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::unique_ptr<PcapSession> OpenProcessStream(ProcessStream stream, std::string& message) {
    auto session = std::make_unique<StreamSession>();
    session->SetProcess(std::move(stream));
    if (!session->Open(message))
        return nullptr;
    return session;
}

std::unique_ptr<PcapSession> OpenPathStream(const std::string& path) {
    auto session = std::make_unique<StreamSession>();
    session->SetPath(path);
    return session;
}

std::string FindCaptureHelper() {
    if (const char* chosen = std::getenv("KESTREL_CAPTURE_HELPER"); chosen && *chosen)
        return chosen;
    std::vector<std::string> candidates;
    if (const std::string folder = ProgramFolder(); !folder.empty()) {
        candidates.push_back(folder + "/" + kHelperName);
        candidates.push_back(folder + "/../" + kHelperName + "/" + kHelperName);
    }
    candidates.push_back(std::string(KESTREL_INSTALL_BINDIR) + "/" + kHelperName);
    for (const std::string& path : candidates) {
        if (IsFile(path))
            return path;
    }
    return {};
}

std::unique_ptr<PcapSession> OpenCaptureHelper(const std::string& systemName,
                                               const std::string& filter, std::string& message) {
    const std::string helper = FindCaptureHelper();
    if (helper.empty()) {
        message = std::string("ｷｬﾌﾟﾁｬｰ ﾍﾙﾊﾟｰ ") + kHelperName + " が見つかりません。";
        return nullptr;
    }
    std::vector<std::string> argv{helper, "-i", systemName};
    if (!filter.empty()) {
        argv.push_back("-f");
        argv.push_back(filter);
    }
    std::string error;
    int spawnErrno = 0;
    std::unique_ptr<ChildProcess> child = ChildProcess::Start(argv, error, spawnErrno);
    if (!child) {
        if (spawnErrno == EACCES || spawnErrno == EPERM) {
            message = "ｷｬﾌﾟﾁｬｰ ﾍﾙﾊﾟｰ " + helper +
                      " を実行する権限がありません。ｸﾞﾙｰﾌﾟ kestrel に参加して"
                      " (sudo usermod -aG kestrel $USER)、ﾛｸﾞｲﾝし直してください。";
        } else {
            message = "ｷｬﾌﾟﾁｬｰ ﾍﾙﾊﾟｰを実行できません: " + error;
        }
        return nullptr;
    }
    ProcessStream stream;
    stream.child = std::move(child);
    stream.name = kHelperName;
    stream.headerTimeoutMs = kHelperHeaderTimeoutMs;
    stream.stop = StopPolicy{0, 2000};
    stream.lostText = std::string(kHelperName) + " が終了しました";
    stream.keepsHeldFrames = true;
    return OpenProcessStream(std::move(stream), message);
}

std::string DisplayableText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        char32_t code = 0;
        const size_t length = DecodeUtf8(text, i, code);
        if (length == 0) {
            out += '?';  // a byte that is not valid UTF-8: one mark each
            ++i;
        } else {
            if (IsHiddenControl(code))
                out += '?';
            else
                out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string ProgramMessage(const std::string& errorOutput) {
    std::vector<std::string> kept;
    for (const std::string& line : Lines(errorOutput)) {
        if (IsStatisticsLine(line))
            continue;
        kept.push_back(DisplayableText(line));
    }
    if (kept.size() > kMessageLines)
        kept.erase(kept.begin(), kept.end() - kMessageLines);
    std::string text;
    for (const std::string& line : kept) {
        if (!text.empty())
            text += '\n';
        text += line;
    }
    return text;
}

bool ParseKernelDrops(const std::string& errorOutput, uint64_t& drops) {
    bool found = false;
    for (const std::string& line : Lines(errorOutput)) {
        uint64_t n = 0;
        if (line.rfind("kestrel-capture: ", 0) == 0 &&
            line.find(kHelperStatsEnd) != std::string::npos) {
            const size_t comma = line.rfind(", ");
            if (comma != std::string::npos && StartsWithNumber(line.substr(comma + 2), n)) {
                drops = n;
                found = true;
            }
        } else if (StartsWithNumber(line, n) &&
                   line.find(" dropped by kernel") != std::string::npos) {
            drops = n;
            found = true;
        }
    }
    return found;
}

}  // namespace kestrel
