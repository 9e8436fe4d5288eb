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
// length is not stored (a loaded packet has len = caplen). Reading and
// writing whole files goes through CaptureReader and CaptureWriter.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/local_time.h"
#include "core/packet_store.h"

namespace kestrel {

inline constexpr size_t kPacRecordHeaderLength = 20;

// The 20 bytes that precede a packet's frame bytes in a ".pac" file. False
// when its time has no local calendar time with a year of 16 bits.
bool EncodePacRecordHeader(const PacketHeader& header, LocalTimeCache& times,
                           uint8_t out[kPacRecordHeaderLength]);

// Reads N and the time of a record into `out` (caplen = len = N). False when
// the bytes are no record head: N above kMaxPacketLength, or time fields that
// are no calendar time (month 0, minute 60, ...), as in a file of zeros or
// random bytes. Such a record ends the file like an incomplete one.
bool DecodePacRecordHeader(const uint8_t* in, LocalTimeCache& times, PacketHeader& out);

// Writes slots 0 ... count - 1 as records to `out`. False on a write error.
bool WritePac(const PacketStore& store, std::FILE* out);

// Saves the store as a ".pac" file (SaveCaptureFile with FileKind::Pac).
bool WritePacFile(const PacketStore& store, const std::string& path, std::string& error);

}  // namespace kestrel
