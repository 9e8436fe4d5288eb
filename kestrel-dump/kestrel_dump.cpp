// kestrel-dump: the command-line face of Kestrel. Prints, per packet of each
// capture file, the packet list row, the decode tree or the hex dump exactly
// as the desktop program shows them; converts capture files; captures.
// Files are read packet by packet, so a file of any size takes constant
// memory.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/capture_reader.h"
#include "core/capture_writer.h"
#include "core/local_time.h"
#include "core/row_text.h"
#include "core/text_helpers.h"
#include "kestrel-dump/dump_modes.h"
#include "kestrel-dump/dump_printer.h"
#include "kestrel-dump/filter_ahead.h"
#include "kestrel-dump/packet_filter.h"
#include "kestrel-dump/rotating_output.h"

namespace {

using namespace kestrel;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A FIFO or device named on the command line must start giving data within
// this time, so a FIFO that no program writes to cannot hang a script. Once
// data flows it is followed as long as it lasts; standard input is the
// caller's own pipe and is never timed.
constexpr ReadLimits kNamedInputLimits{10000, -1};

// Output is gathered and written in blocks of about this size.
constexpr size_t kOutputBlock = 1 << 20;

struct Options {
    bool rows = false;
    bool tree = false;
    bool hex = false;
    bool json = false;
    bool utc = false;
    int lineCount = 32;
    bool listAdapters = false;
    std::string captureName;
    bool capture = false;
    uint64_t count = 0;  // 0: every packet
    std::string outPath;
    dump::Rotation rotation;  // -C, -G, -W
    std::string format;  // pac, pcap, pcapng; empty: by the output's suffix
    std::string filter;  // a libpcap filter expression; empty: every packet
    std::vector<std::string> files;
    std::vector<RemoteHost> remotes;
};

void PrintUsage(std::FILE* out) {
    std::fputs(
        "Usage: kestrel-dump [--rows] [--tree] [--hex] [--json] [--line-count N] [--utc]\n"
        "                    [-f FILTER] [-c COUNT] FILE...\n"
        "       kestrel-dump -w OUT [--format KIND] [-C SIZE] [-G SECONDS] [-W COUNT]\n"
        "                    [-f FILTER] [-c COUNT] FILE...\n"
        "       kestrel-dump --list-adapters [--remote HOST]...\n"
        "       kestrel-dump --capture NAME [--remote HOST]... [-f FILTER] [-c COUNT] -w OUT\n"
        "                    [--format KIND] [-C SIZE] [-G SECONDS] [-W COUNT]\n"
        "\n"
        "Prints the packets of .pac, pcap and pcapng files (told apart by content;\n"
        "FILE - is standard input). Files of any size are read packet by packet.\n"
        "  --rows          the 11 packet list cells joined by TAB, one line per packet (default)\n"
        "  --tree          every decode tree item: indentation, text, TAB, \"FIRST LENGTH\" or "
        "\"-\"\n"
        "  --hex           the hex dump of each packet, then a blank line\n"
        "  --json          one JSON object per packet and line: number, sec, usec, caplen,\n"
        "                  len, the list cells by column title, the decode tree with the\n"
        "                  first byte and length of every item\n"
        "  --line-count N  characters per data line in the tree (default 32)\n"
        "  --utc           times in UTC instead of local time\n"
        "  -f, --filter FILTER\n"
        "                  only the packets that match the libpcap filter expression FILTER\n"
        "                  (tcpdump's language); numbers stay those of the input\n"
        "  -c COUNT        only the first COUNT packets (of all files, or of the capture)\n"
        "  -w OUT          write the packets read (or captured) to OUT; nothing is printed\n"
        "                  unless --rows, --tree, --hex or --json is given too. OUT is replaced\n"
        "                  only once it is complete. -w - writes a pcap stream (or KIND) to\n"
        "                  standard output, flushed per packet while capturing or reading a\n"
        "                  pipe.\n"
        "  --format KIND   the kind of OUT: pac, pcap or pcapng (default: by OUT's suffix,\n"
        "                  .pcap and .cap pcap, .pcapng pcapng, any other .pac)\n"
        "  -C SIZE         as tcpdump: before a packet is written, a file larger than SIZE\n"
        "                  million bytes is completed and the next begun: OUT, OUT1, OUT2...\n"
        "  -G SECONDS      as tcpdump: the first packet SECONDS after a file was begun\n"
        "                  begins the next; OUT is a strftime format of its local time\n"
        "  -W COUNT        with -C: a ring of COUNT files OUT0... (as many digits as\n"
        "                  COUNT - 1), the oldest replaced; with -G alone: stop after\n"
        "                  COUNT files. Every file is complete before the next begins.\n"
        "  --list-adapters the adapter names, as the adapter menu offers them\n"
        "  --capture NAME  capture from the adapter NAME into OUT until COUNT packets or\n"
        "                  until interrupted; NAME@HOST is an adapter of another machine\n"
        "  --remote HOST   [user@]host[:port]: list (and capture from) the adapters of HOST\n"
        "                  over ssh, by kestrel-capture there or else by tcpdump\n"
        "  --remote-sudo HOST  the same, capturing through sudo -n on HOST\n"
        "  --help          show this help\n"
        "  --version       show the version\n"
        "\n"
        "A FIFO or device given as FILE must give data within 10 seconds.\n"
        "Exit status: 0 success, 1 a file could not be read (or ended with a read error\n"
        "after the packets before it were printed and written), an output could not be\n"
        "written or a capture failed, 2 bad usage.\n",
        out);
}

bool EndsWith(const std::string& text, std::string_view suffix) {
    if (text.size() < suffix.size())
        return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        const char c = text[text.size() - suffix.size() + i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != suffix[i])
            return false;
    }
    return true;
}

FileKind KindOfName(const std::string& path) {
    if (path == "-")
        return FileKind::Pcap;
    if (EndsWith(path, ".pcapng") || EndsWith(path, ".ntar"))
        return FileKind::PcapNg;
    if (EndsWith(path, ".pcap") || EndsWith(path, ".cap"))
        return FileKind::Pcap;
    return FileKind::Pac;
}

bool ParseKind(const std::string& name, FileKind& kind) {
    if (name == "pac")
        kind = FileKind::Pac;
    else if (name == "pcap")
        kind = FileKind::Pcap;
    else if (name == "pcapng")
        kind = FileKind::PcapNg;
    else
        return false;
    return true;
}

// Says why standard output could not be written; the exit status for it.
int OutputFailed(const dump::Output& out) {
    std::fprintf(stderr, "kestrel-dump: cannot write standard output: %s\n",
                 std::strerror(out.Error()));
    return kExitFailure;
}

// Reads the files one after the other, printing and writing every packet.
class Dumper {
public:
    explicit Dumper(const Options& options) : m_options(options) {
        m_modes.rows = options.rows;
        m_modes.tree = options.tree;
        m_modes.hex = options.hex;
        m_modes.json = options.json;
        m_modes.lineCount = options.lineCount;
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        // One thread per core formats: the workers and this thread, which
        // formats too rather than wait (one core: no workers, printed here).
        m_workers = static_cast<int>(std::min(cores, kMaxFormattingThreads)) - 1;
    }

    int Run() {
        FileKind kind = KindOfName(m_options.outPath);
        if (!m_options.format.empty())
            ParseKind(m_options.format, kind);
        if (!m_filter.Compile(m_options.filter, m_error)) {
            std::fprintf(stderr, "kestrel-dump: bad filter: %s\n", m_error.c_str());
            return kExitUsage;
        }
        const bool opened =
            m_options.outPath.empty() ||
            (m_options.outPath == "-"
                 ? m_writer.OpenStream(stdout, kind, kPcapMaxSnapLength, m_error)
                 : m_writer.Open(m_options.outPath, kind, m_options.rotation, m_error));
        if (!opened) {
            std::fprintf(stderr, "kestrel-dump: %s\n", m_error.c_str());
            return kExitFailure;
        }
        m_out.reserve(kOutputBlock + (1 << 16));
        for (const std::string& file : m_options.files) {
            if (Done() || Stopped())
                break;
            DumpFile(file);
        }
        // What was printed goes out before the verdict.
        FlushAll();
        if (m_output.Error())
            return OutputFailed(m_output);
        if (m_writeFailed)
            return kExitFailure;  // the writer's reason went out; the old file stays
        const int status = m_unreadable || m_readError ? kExitFailure : kExitOk;
        if (m_options.outPath.empty())
            return status;
        if (m_unreadable) {
            // An input that could not be read at all: the old file stays
            // (files a rotation completed before stay written).
            std::fprintf(stderr, "kestrel-dump: %s not written\n", m_writer.Name().c_str());
            return status;
        }
        // An input that ended with a read error: what was read before it is
        // written, and the status still says that the input was damaged.
        if (!m_writer.Finish(m_error)) {
            std::fprintf(stderr, "kestrel-dump: %s\n", m_error.c_str());
            return kExitFailure;
        }
        if (m_options.outPath != "-")
            dump::ReportWritten(m_writer);
        return status;
    }

private:
    // -c reached, or the output wants no more (-G with -W).
    bool Done() const {
        return (m_options.count && m_total >= m_options.count) || m_writer.Ended();
    }
    // Nothing more can be printed or written.
    bool Stopped() const { return m_writeFailed || m_output.Error(); }

    // Prints and writes the packets of one input. An input that gives no
    // packet because it cannot be read sets m_unreadable, one that ends on a
    // read error after packets sets m_readError; either way its reason goes
    // to stderr after what was printed.
    void DumpFile(const std::string& path) {
        CaptureReader reader;
        std::string error;
        if (!reader.Open(path, path == "-" ? ReadLimits{} : kNamedInputLimits, error)) {
            std::fprintf(stderr, "kestrel-dump: %s\n", error.c_str());
            m_unreadable = true;
            return;
        }
        // Trees (alone or in JSON) are most of the work of a dump: for files
        // they are formatted by worker threads. Rows and hex dumps are cheaper
        // to format than to hand over; a stream, which may still be growing,
        // is printed packet by packet as it arrives.
        const bool heavy = m_modes.tree || m_modes.json;
        if (heavy && !reader.IsStream() && m_workers > 0 && !m_parallel)
            m_parallel = std::make_unique<dump::ParallelPrinter>(m_modes, m_workers, m_output);
        dump::ParallelPrinter* parallel = reader.IsStream() ? nullptr : m_parallel.get();
        ReadPackets(reader, parallel);
        if (parallel)
            parallel->Finish();
        if (!reader.Error().empty()) {
            // What was printed stays printed; the reason follows it.
            FlushAll();
            std::fprintf(stderr, "kestrel-dump: %s\n", reader.Error().c_str());
            (reader.Count() == 0 ? m_unreadable : m_readError) = true;
        }
    }

    void ReadPackets(CaptureReader& reader, dump::ParallelPrinter* parallel) {
        // A filter on a large pcap file runs on every core.
        dump::MatchReader matches(reader, m_filter, static_cast<unsigned>(m_workers + 1));
        while (!Done() && !Stopped()) {
            if (matches.Next() != CaptureReader::Result::Packet)
                return;  // the end, or a failure the reader keeps
            const Packet& packet = matches.Current();
            const int number = static_cast<int>(matches.Number());
            ++m_total;
            if (parallel)
                parallel->Add(packet, number);
            OnPacket(packet, number, parallel == nullptr);
            // A pipe may still be growing: each packet is shown as it arrives.
            if (reader.IsStream())
                FlushAll();
        }
    }

    void OnPacket(const Packet& packet, int number, bool print) {
        if (print) {
            dump::PrintPacket(m_modes, packet, number, m_times, m_out);
            if (m_out.size() > kOutputBlock)
                PrintBlock();
        }
        if (!m_options.outPath.empty() && !m_writer.Write(packet, m_error)) {
            FlushAll();
            std::fprintf(stderr, "kestrel-dump: %s\n", m_error.c_str());
            m_writeFailed = true;
        }
    }

    void PrintBlock() {
        m_output.Write(m_out);
        m_out.clear();
    }

    void FlushAll() {
        PrintBlock();
        m_output.Flush();
    }

    static constexpr unsigned kMaxFormattingThreads = 8;

    const Options& m_options;
    dump::PrintModes m_modes;
    int m_workers = 1;
    dump::Output m_output{stdout};
    std::unique_ptr<dump::ParallelPrinter> m_parallel;
    dump::PacketFilter m_filter;
    dump::RotatingOutput m_writer;
    std::string m_error;
    bool m_writeFailed = false;  // a packet could not be written to OUT
    bool m_unreadable = false;   // an input gave no packet: it could not be read
    bool m_readError = false;    // an input ended with a read error after packets
    uint64_t m_total = 0;
    std::string m_out;
    LocalTimeCache m_times;
};

bool ParseNumber(const std::string& value, uint64_t minimum, uint64_t maximum, uint64_t& out) {
    if (value.empty() || value[0] < '0' || value[0] > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
    if (*end || errno || n < minimum || n > maximum)
        return false;
    out = n;
    return true;
}

// `status`, or 1 when what was printed on standard output could not all be
// written (with the reason on stderr).
int FinishStandardOutput(int status) {
    dump::Output out(stdout);
    return out.Flush() ? status : OutputFailed(out);
}

}  // namespace

int main(int argc, char** argv) {
    // The C library's texts (system error messages) in the user's language,
    // as in the desktop program; numbers are never formatted by locale.
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");
    Options options;
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (endOfOptions || arg.empty() || arg[0] != '-' || arg == "-") {
            options.files.emplace_back(arg);
        } else if (arg == "--") {
            endOfOptions = true;
        } else if (arg == "--rows") {
            options.rows = true;
        } else if (arg == "--hex") {
            options.hex = true;
        } else if (arg == "--tree") {
            options.tree = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--utc") {
            options.utc = true;
        } else if (arg == "--line-count" || arg == "-c" || arg == "-w" || arg == "--capture" ||
                   arg == "--format" || arg == "-f" || arg == "--filter" || arg == "-C" ||
                   arg == "-G" || arg == "-W") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kestrel-dump: %s needs a value\n", argv[i]);
                return kExitUsage;
            }
            const std::string value = argv[++i];
            uint64_t n = 0;
            FileKind kind;
            bool good = true;
            if (arg == "--capture") {
                options.capture = true;
                options.captureName = value;
            } else if (arg == "-w") {
                options.outPath = value;
                good = !value.empty();
            } else if (arg == "-f" || arg == "--filter") {
                options.filter = value;
            } else if (arg == "--format") {
                options.format = value;
                good = ParseKind(value, kind);
            } else if (arg == "-c") {
                good = ParseNumber(value, 0, UINT64_MAX, n);
                options.count = n;
            } else if (arg == "-C") {
                good = ParseNumber(value, 1, 1000000000000, n);
                options.rotation.fileSize = n * 1000000;
            } else if (arg == "-G") {
                // 0, as for tcpdump: no rotation by time.
                good = ParseNumber(value, 0, 1000000000, n);
                options.rotation.seconds = n;
            } else if (arg == "-W") {
                good = ParseNumber(value, 1, 1000000000, n);
                options.rotation.files = static_cast<uint32_t>(n);
            } else {
                good = ParseNumber(value, 1, 1000000, n);
                options.lineCount = static_cast<int>(n);
            }
            if (!good) {
                std::fprintf(stderr, "kestrel-dump: bad value for %s: %s\n", argv[i - 1],
                             value.c_str());
                return kExitUsage;
            }
        } else if (arg == "--remote" || arg == "--remote-sudo") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kestrel-dump: %s needs a value\n", argv[i]);
                return kExitUsage;
            }
            RemoteHost host;
            std::string error;
            if (!ParseRemoteHost(argv[i + 1], arg == "--remote-sudo", host, error)) {
                std::fprintf(stderr, "kestrel-dump: %s\n", error.c_str());
                return kExitUsage;
            }
            ++i;
            options.remotes.push_back(std::move(host));
        } else if (arg == "--list-adapters") {
            options.listAdapters = true;
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return FinishStandardOutput(kExitOk);
        } else if (arg == "--version") {
            std::printf("kestrel-dump %s\n", KESTREL_VERSION);
            return FinishStandardOutput(kExitOk);
        } else {
            std::fprintf(stderr, "kestrel-dump: unknown option %s\n", argv[i]);
            PrintUsage(stderr);
            return kExitUsage;
        }
    }
    if (options.listAdapters) {
        return FinishStandardOutput(dump::ListAdapters(options.remotes));
    }
    const bool prints = options.rows || options.tree || options.hex || options.json;
    if (options.outPath == "-" && prints) {
        std::fputs("kestrel-dump: -w - and printing both want standard output\n", stderr);
        return kExitUsage;
    }
    if (options.outPath == "-" && isatty(STDOUT_FILENO)) {
        std::fputs("kestrel-dump: -w - would write binary data to a terminal\n", stderr);
        return kExitUsage;
    }
    if (options.utc) {
        // Every local time conversion of the program then gives UTC.
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    if (!options.format.empty() && options.outPath.empty()) {
        std::fputs("kestrel-dump: --format needs -w OUT\n", stderr);
        return kExitUsage;
    }
    if ((options.rotation.Rotates() || options.rotation.files) &&
        (options.outPath.empty() || options.outPath == "-")) {
        std::fputs("kestrel-dump: -C, -G and -W need -w OUT, a file\n", stderr);
        return kExitUsage;
    }
    if (options.rotation.files && !options.rotation.Rotates()) {
        std::fputs("kestrel-dump: -W needs -C or -G\n", stderr);
        return kExitUsage;
    }
    if (options.capture) {
        if (options.outPath.empty() || !options.files.empty()) {
            std::fputs("kestrel-dump: --capture NAME needs -w OUT and no input files\n", stderr);
            return kExitUsage;
        }
        FileKind kind = KindOfName(options.outPath);
        if (!options.format.empty())
            ParseKind(options.format, kind);
        return dump::CaptureToFile(options.captureName, options.filter, options.count,
                                   options.outPath, kind, options.rotation, options.remotes);
    }
    if (options.files.empty()) {
        std::fputs("kestrel-dump: no file given\n", stderr);
        PrintUsage(stderr);
        return kExitUsage;
    }
    if (!prints && options.outPath.empty()) {
        options.rows = true;
    }
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    return Dumper(options).Run();
}
