// Opening and saving capture files of every kind Kestrel reads: ".pac",
// classic pcap (either byte order, micro- or nanosecond stamps) and pcapng.
// The kind is told by the first bytes, not by the file name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "core/packet_store.h"

namespace kestrel {

enum class FileKind { Pac, Pcap, PcapNg };

// Kind of a file from its first bytes: the pcap and pcapng magic numbers,
// anything else (an empty file included) is ".pac".
FileKind DetectFileKind(std::span<const uint8_t> head);

struct LoadResult {
    bool ok = false;
    FileKind kind = FileKind::Pac;
    std::string error;    // why the file could not be opened (ok false)
    std::string warning;  // a pcap/pcapng read that ended early; packets before it are kept
    bool truncated = false;  // the file held more packets than a store takes
};

// Fills an empty store from the file at `path`. A ".pac" file of four bytes
// or more that holds no complete record is refused as not a packet file.
LoadResult LoadCaptureFile(const std::string& path, PacketStore& store);

// pcap/pcapng through libpcap's offline reader, from an open stream (which the
// call closes). Only the Ethernet link type is accepted.
LoadResult LoadPcapStream(std::FILE* stream, PacketStore& store);

// A classic pcap file: link type Ethernet, snapshot length 65536, microsecond
// stamps. Frames longer than the snapshot length are cut to it (len kept).
bool WritePcapFile(const PacketStore& store, const std::string& path, std::string& error);
inline constexpr uint32_t kPcapWriteSnapLength = 65536;

// Saves in the given kind (pcapng is written as classic pcap).
bool SaveCaptureFile(const PacketStore& store, const std::string& path, FileKind kind,
                     std::string& error);

}  // namespace kestrel
