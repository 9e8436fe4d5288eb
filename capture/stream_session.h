// Capture sessions that read a pcap stream instead of an adapter: the
// standard output of the capture helper kestrel-capture (when this process
// may not open an adapter itself), of ssh (an adapter of another machine),
// or a FIFO or standard input (a stream that some other program writes).
// The stream goes through the same reader as capture files: bounded
// records, Ethernet only. A stop ends the read at once and asks the program
// to end (closing its standard input, then signals), or, for the capture
// helper, reads on to the end of what it still writes; the end of the stream
// ends the capture; a program that ends badly is a read error with its own
// words.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "capture/child_process.h"
#include "capture/pcap_api.h"

namespace kestrel {

// How a program that writes a stream is stopped: its standard input is
// closed at once, SIGTERM follows after termAfterMs and SIGKILL after
// killAfterMs if it has not ended by then.
struct StopPolicy {
    int termAfterMs = 0;
    int killAfterMs = 2000;
};

struct ProcessStream {
    std::unique_ptr<ChildProcess> child;
    std::string name;  // in messages: "kestrel-capture", "ssh host"
    int headerTimeoutMs = 10000;
    StopPolicy stop;
    // The read error when the program ends badly without saying why.
    std::string lostText;
    // The program captures on this machine and, told to stop, writes the
    // frames that arrived before, then ends: a stop reads the stream to its
    // end and keeps the frames stamped up to the moment of the stop.
    bool keepsHeldFrames = false;
};

// Reads the program's stream: waits (at most headerTimeoutMs) for the
// stream's header before it returns. Null when none came, with the
// program's own words (or the reader's) in `message`; the program is then
// stopped.
std::unique_ptr<PcapSession> OpenProcessStream(ProcessStream stream, std::string& message);

// Reads the FIFO or file `path`, or standard input for "-". Opened by the
// first read, on the worker: waiting for a writer never holds up the caller.
std::unique_ptr<PcapSession> OpenPathStream(const std::string& path);

// The capture helper to run: $KESTREL_CAPTURE_HELPER, else kestrel-capture
// beside this program, in the build tree's kestrel-capture folder next to
// it, or in the folder it is installed to. Empty when none is there.
std::string FindCaptureHelper();

// Runs the capture helper on the adapter `systemName` with `filter` (empty:
// none). Null with the reason when it cannot be run (for a user outside the
// group kestrel: how to join it) or cannot open the adapter.
std::unique_ptr<PcapSession> OpenCaptureHelper(const std::string& systemName,
                                               const std::string& filter, std::string& message);

// `text` as it may be shown on a terminal or in a message box: every
// control character (C0, DEL, the C1 controls such as U+009B CSI and U+009D
// OSC), every bidirectional control (U+061C, U+200E, U+200F, U+202A to
// U+202E, U+2066 to U+2069), the line and paragraph separators and every
// byte that is not part of valid UTF-8 become '?'. For texts from other
// programs and other machines, which could otherwise drive the terminal or
// make a name read as something else.
std::string DisplayableText(std::string_view text);

// The last lines a program wrote to its standard error, without its
// progress and statistics lines, made displayable (DisplayableText): what
// to show a user.
std::string ProgramMessage(const std::string& errorOutput);
// The kernel's drop count from the statistics that kestrel-capture or
// tcpdump write when they end; false when there is none.
bool ParseKernelDrops(const std::string& errorOutput, uint64_t& drops);

}  // namespace kestrel
