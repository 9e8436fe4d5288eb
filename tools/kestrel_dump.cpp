// kestrel-dump: the command-line face of Kestrel. Prints, per packet of each
// capture file, the packet list row, the decode tree or the hex dump exactly
// as the desktop program shows them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/capture_file.h"
#include "core/local_time.h"
#include "core/packet_store.h"
#include "core/row_text.h"
#include "core/text_helpers.h"
#include "tools/dump_modes.h"

namespace {

using namespace kestrel;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Options {
    bool rows = false;
    bool tree = false;
    bool hex = false;
    bool json = false;
    int lineCount = 32;
    bool listAdapters = false;
    std::string captureName;
    bool capture = false;
    int captureCount = 0;
    std::string outPath;
    std::vector<std::string> files;
};

void PrintUsage(std::FILE* out) {
    std::fputs(
        "Usage: kestrel-dump [--rows] [--tree] [--hex] [--line-count N] FILE...\n"
        "       kestrel-dump --list-adapters\n"
        "       kestrel-dump --capture NAME [-c COUNT] -w OUT.pac\n"
        "\n"
        "Prints the packets of .pac, pcap and pcapng files (told apart by content).\n"
        "  --rows          the 11 packet list cells joined by TAB, one line per packet (default)\n"
        "  --tree          every decode tree item: indentation, text, TAB, \"FIRST LENGTH\" or \"-\"\n"
        "  --hex           the hex dump of each packet, then a blank line\n"
        "  --json          one JSON object per packet and line: number, time, lengths, the\n"
        "                  list cells by column title, the decode tree with byte ranges\n"
        "  --line-count N  characters per data line in the tree (default 32)\n"
        "  --list-adapters the adapter names, as the adapter menu offers them\n"
        "  --capture NAME  capture from the adapter NAME into the file given by -w\n"
        "  -c COUNT        stop after COUNT packets (default: until interrupted or 30000)\n"
        "  -w OUT.pac      the .pac file a capture is saved to\n"
        "  --help          show this help\n"
        "  --version       show the version\n"
        "\n"
        "Exit status: 0 success, 1 a file could not be read or a capture failed, 2 bad usage.\n",
        out);
}

void PrintRow(const Packet& packet, int number, LocalTimeCache& times, std::string& out) {
    const RowTexts row = BuildRowTexts(packet, number, &times);
    for (int c = 0; c < kColumnCount; ++c) {
        if (c) out += '\t';
        out += row.cells[static_cast<size_t>(c)];
    }
    out += '\n';
}

void PrintHex(const Packet& packet, std::string& out) {
    out += FormatHexDump({packet.data, packet.header->caplen});
    out += "\r\n";
}

void Flush(std::string& out) {
    std::fwrite(out.data(), 1, out.size(), stdout);
    out.clear();
}

int DumpFile(const std::string& path, const Options& options) {
    auto store = std::make_unique<PacketStore>();
    const LoadResult result = LoadCaptureFile(path, *store);
    if (!result.ok) {
        std::fprintf(stderr, "kestrel-dump: %s\n", result.error.c_str());
        return kExitFailure;
    }
    if (!result.warning.empty()) {
        std::fprintf(stderr, "kestrel-dump: %s: %s\n", path.c_str(), result.warning.c_str());
    }
    if (result.truncated) {
        std::fprintf(stderr, "kestrel-dump: %s: only the first %d packets are read\n",
                     path.c_str(), PacketStore::kCapacity);
    }
    std::string out;
    out.reserve(1 << 20);
    const int count = store->Count();
    LocalTimeCache times;
    for (int i = 0; i < count; ++i) {
        const Packet& packet = *store->At(i);
        if (options.rows)
            PrintRow(packet, i + 1, times, out);
        if (options.tree) dump::AppendTree(packet, i + 1, options.lineCount, out);
        if (options.hex) PrintHex(packet, out);
        if (options.json)
            dump::AppendJson(packet, i + 1, options.lineCount, BuildRowTexts(packet, i + 1, &times),
                             out);
        if (out.size() > (1 << 20) - 70000) Flush(out);
    }
    Flush(out);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
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
        } else if (arg == "--line-count" || arg == "-c" || arg == "-w" || arg == "--capture") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kestrel-dump: %s needs a value\n", argv[i]);
                return kExitUsage;
            }
            const std::string value = argv[++i];
            if (arg == "--capture") {
                options.capture = true;
                options.captureName = value;
            } else if (arg == "-w") {
                options.outPath = value;
            } else {
                char* end = nullptr;
                const long n = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end || n < (arg == "-c" ? 0 : 1) || n > 1000000) {
                    std::fprintf(stderr, "kestrel-dump: bad value for %s: %s\n", argv[i - 1], value.c_str());
                    return kExitUsage;
                }
                (arg == "-c" ? options.captureCount : options.lineCount) = static_cast<int>(n);
            }
        } else if (arg == "--list-adapters") {
            options.listAdapters = true;
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return kExitOk;
        } else if (arg == "--version") {
            std::printf("kestrel-dump %s\n", KESTREL_VERSION);
            return kExitOk;
        } else {
            std::fprintf(stderr, "kestrel-dump: unknown option %s\n", argv[i]);
            PrintUsage(stderr);
            return kExitUsage;
        }
    }
    if (options.listAdapters) {
        return dump::ListAdapters();
    }
    if (options.capture) {
        if (options.outPath.empty() || !options.files.empty()) {
            std::fputs("kestrel-dump: --capture NAME needs -w OUT.pac and no input files\n", stderr);
            return kExitUsage;
        }
        return dump::CaptureToFile(options.captureName, options.captureCount, options.outPath);
    }
    if (options.files.empty()) {
        std::fputs("kestrel-dump: no file given\n", stderr);
        PrintUsage(stderr);
        return kExitUsage;
    }
    if (!options.rows && !options.tree && !options.hex && !options.json) {
        options.rows = true;
    }
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    int status = kExitOk;
    for (const std::string& file : options.files) {
        if (DumpFile(file == "-" ? "/dev/stdin" : file, options) != kExitOk) {
            status = kExitFailure;
        }
    }
    std::fflush(stdout);
    return status;
}
