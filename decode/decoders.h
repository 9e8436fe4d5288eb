// The protocol decoders that fill a DecodeTree, one source file each.
//
// Bytes that were not captured, the same in every decoder: a field whose
// bytes were not all captured is not shown and its section stops there
// (items already added stay; a heading keeps the range its header declares);
// a section whose first byte was not captured is not added at all; a
// checksum whose covered bytes were not all captured is shown with
// "(未検証)" and decoding goes on; data sections list only captured bytes.
#pragma once

#include "core/byte_reader.h"
#include "decode/decode_tree.h"

namespace kestrel {

// Verdict texts of the checksum items.
inline constexpr const char* kChecksumOk = "(OK)";
inline constexpr const char* kChecksumBad = "(NG)";
inline constexpr const char* kChecksumUnverified = "(未検証)";

// MAC layer, then the network layer by EtherType. Returns the frame offset at
// which the decoded data ends (the Ethernet data section starts there).
int DecodeEthernet(DecodeTree& tree, const ByteReader& frame);
// ARP at `a`; returns a + 28.
int DecodeArp(DecodeTree& tree, const ByteReader& frame, int a);
// IPv4 header at `p`, its options and the payload by protocol. Returns the
// end of the data it accounts for.
int DecodeIp(DecodeTree& tree, const ByteReader& frame, int p);
// One section per option in the `length` bytes of options from `first`, as
// children of `ipSection`. False when the walk stopped at bytes not captured.
bool DecodeIpOptions(DecodeTree& tree, const ByteReader& frame, int ipSection, int first,
                     int length);
void DecodeTcp(DecodeTree& tree, const ByteReader& frame, int s);
void DecodeUdp(DecodeTree& tree, const ByteReader& frame, int s);
void DecodeIcmp(DecodeTree& tree, const ByteReader& frame, int s);
void DecodeIgmp(DecodeTree& tree, const ByteReader& frame, int s);

// True when the `length` bytes from `first` (first >= 0) were all captured.
// The source and destination port items that TCP and UDP headers start
// with (segment at frame offset s); false when their bytes ran out.
bool AddPorts(DecodeTree& tree, const ByteReader& frame, int section, int s);

inline bool Captured(const ByteReader& frame, int first, int length) {
    return first >= 0 && length >= 0 &&
           frame.Has(static_cast<size_t>(first), static_cast<size_t>(length));
}

}  // namespace kestrel
