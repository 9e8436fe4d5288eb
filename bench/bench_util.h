// Traffic for the benchmarks: the real capture corpus repeated into a store.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/packet_store.h"

namespace kestrel::bench {

// The frames of the benchmark traffic: the capture corpus (or, without it, a
// built-in mix of TCP, UDP, ICMP and ARP frames), in order.
const std::vector<PacketPtr>& TrafficFrames();

// A store of `count` packets: the traffic frames repeated in order.
std::unique_ptr<PacketStore> TrafficMix(int count);

// A store of `count` frames of `size` bytes (TCP over IPv4).
std::unique_ptr<PacketStore> SameFrames(int count, uint32_t size);

// A file path in the temporary folder, unique to this process.
std::string TempPath(const std::string& name);

}  // namespace kestrel::bench
