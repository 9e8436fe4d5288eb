// Opening and saving whole capture files of every kind Kestrel reads: ".pac",
// classic pcap (either byte order, micro- or nanosecond stamps) and pcapng.
// The kind is told by the first bytes, not by the file name. Both go packet
// by packet through CaptureReader and CaptureWriter.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/capture_reader.h"
#include "core/capture_writer.h"
#include "core/packet_store.h"

namespace kestrel {

struct LoadResult {
    bool ok = false;
    FileKind kind = FileKind::Pac;
    std::string error;       // why the file could not be opened (ok false)
    std::string warning;     // a read that ended early on an error; packets before it are kept
    bool truncated = false;  // the file held more packets than a store takes
};

// How long a document waits on an input that is not a regular file (a FIFO,
// a device): the program must not hang on a FIFO that no one writes to, nor
// read an endless stream for ever.
inline constexpr ReadLimits kDocumentReadLimits{5000, 10000};

// Fills an empty store from the file at `path`, up to the store's capacity.
// A ".pac" file of four bytes or more that holds no complete record is
// refused as not a packet file; a read that fails before the first packet
// refuses the file, one that fails later keeps the packets with a warning.
LoadResult LoadCaptureFile(const std::string& path, PacketStore& store,
                           const ReadLimits& limits = kDocumentReadLimits);
// The same for a file image in memory.
LoadResult LoadCaptureBytes(std::span<const uint8_t> bytes, PacketStore& store);

// Saves the store in `kind` through a CaptureWriter: the old file is
// replaced only once the new one is complete. Frames longer than pcap and
// pcapng files can hold make the save fail with a message naming ".pac".
bool SaveCaptureFile(const PacketStore& store, const std::string& path, FileKind kind,
                     std::string& error);
// SaveCaptureFile with FileKind::Pcap.
bool WritePcapFile(const PacketStore& store, const std::string& path, std::string& error);

}  // namespace kestrel
