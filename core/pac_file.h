// ".pac" files: records of (length, local calendar time, frame bytes) back to
// back, little-endian, with no file header and no trailer.
//
//   offset  size  field
//   0       4     N, the captured length
//   4       2     year          12  2  hour
//   6       2     month 1-12    14  2  minute
//   8       2     day of week   16  2  second
//   10      2     day 1-31      18  2  milliseconds 0-999
//   20      N     frame bytes
//
// The time is the local time of the machine that saved the file; the wire
// length is not stored (a loaded packet has len = caplen).
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "core/packet_store.h"

namespace kestrel {

inline constexpr size_t kPacRecordHeaderLength = 20;

// Appends the records of `bytes` to `store` until it holds kCapacity packets;
// the rest is ignored. An incomplete last record (fewer than 4 length bytes,
// 16 time bytes or N data bytes, a length beyond the end included) is dropped
// silently. False only when memory for a packet cannot be had. `truncated`
// (when given) tells whether complete records were left because the store
// was full.
bool ParsePac(std::span<const uint8_t> bytes, PacketStore& store, std::string& error,
              bool* truncated = nullptr);

// Reads a whole ".pac" file. False when the file cannot be read (or memory
// runs out), with a message in `error`.
bool ReadPacFile(const std::string& path, PacketStore& store, std::string& error);

// Writes slots 0 ... count - 1 as records to `out`. False on a write error.
bool WritePac(const PacketStore& store, std::FILE* out);

// Writes the store to `path` through a temporary file in the same folder that
// replaces `path` only once everything was written, so a failed save leaves
// the old file as it was.
bool WritePacFile(const PacketStore& store, const std::string& path, std::string& error);

}  // namespace kestrel
