// The modes of kestrel-dump beyond rows and hex, each in its own file.
#pragma once

#include <cstdint>
#include <string>

#include <vector>

#include "capture/remote.h"
#include "core/capture_reader.h"
#include "core/packet.h"
#include "core/row_text.h"
#include "kestrel-dump/rotating_output.h"

namespace kestrel::dump {

// Appends the decode tree of one packet (number = its 1-based row number):
// one line per item, two spaces of indentation per depth, the item text, TAB,
// then "FIRST LENGTH" or "-"; then a blank line. (dump_tree.cpp)
void AppendTree(const Packet& packet, int number, int lineCount, std::string& out);

// Appends one line of JSON for the packet: number, time, lengths, the row
// cells by column title and the decode tree with byte ranges. (dump_json.cpp)
void AppendJson(const Packet& packet, int number, int lineCount, const RowTexts& row,
                std::string& out);

// Prints the adapter display names, one per line, as the adapter menu offers
// them: the local adapters, then those of the `remotes` ("NAME@host").
// Returns the exit status: 1 when the adapters (of this machine or of one of
// the remotes) cannot be listed. (dump_capture.cpp)
int ListAdapters(const std::vector<RemoteHost>& remotes);

// Captures from the adapter with display name `name` the frames that match
// `filter` (a libpcap expression, installed in the kernel; empty: all)
// straight into a file of `kind` at `outPath` ("-": a stream on standard
// output, flushed per packet), or a series of files by `rotation`, packet
// by packet, until `count` packets are written (0: until interrupted, or
// until the rotation's last file). A name that no local adapter has may
// name an adapter of one of the `remotes`, or "NAME@host" of a host not
// among them. Returns the exit status. (dump_capture.cpp)
int CaptureToFile(const std::string& name, const std::string& filter, uint64_t count,
                  const std::string& outPath, FileKind kind, const Rotation& rotation,
                  const std::vector<RemoteHost>& remotes);

}  // namespace kestrel::dump
