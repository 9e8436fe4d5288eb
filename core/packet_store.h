// The packet store of one document: a fixed table of 30000 slots and a count.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/packet.h"

namespace kestrel {

// Slot i holds the i-th packet of the document (list row i, number i + 1).
//
// Threads: at most one capture worker appends; the UI thread reads, removes
// and appends copies. Appends and removals are serialised by one lock per
// store. Readers take no lock: they read the count first (acquire) and then
// only slots below it; an appender writes the slot before it publishes the
// raised count (release). Only the UI thread removes, so a count it has read
// stays valid for it until it removes something itself.
class PacketStore {
public:
    static constexpr int kCapacity = 30000;

    enum class AppendResult {
        Stored,     // the packet went into the next slot
        Full,       // the store holds kCapacity packets; the packet was released
        NoPacket,   // a null packet (memory could not be had) was counted as lost
    };

    PacketStore() = default;
    ~PacketStore();
    PacketStore(const PacketStore&) = delete;
    PacketStore& operator=(const PacketStore&) = delete;

    // Takes ownership in every case: the packet is stored or released.
    AppendResult AppendPacket(Packet* packet);

    // Releases slot k (k below the count) and moves the later slots down.
    void RemovePacket(int k);
    // Removes the given slots (ascending, each below the count) in one pass;
    // the same result as removing them one by one from the highest down.
    void RemovePackets(const std::vector<int>& ascending);

    int Count() const { return m_packetCount.load(std::memory_order_acquire); }
    bool IsFull() const { return Count() >= kCapacity; }
    // i must be below a count the caller has read.
    const Packet* At(int i) const { return m_packets[static_cast<size_t>(i)]; }

    // Packets discarded because the store was full.
    uint64_t DiscardedCount() const { return m_discarded.load(std::memory_order_relaxed); }
    // Packets lost because memory for them could not be had.
    uint64_t LostCount() const { return m_lost.load(std::memory_order_relaxed); }
    void NoteLost() { m_lost.fetch_add(1, std::memory_order_relaxed); }

    // Total of caplen over the stored packets (for status and resource checks).
    uint64_t ByteCount() const;

private:
    std::array<Packet*, kCapacity> m_packets{};
    std::atomic<int32_t> m_packetCount{0};
    mutable std::mutex m_lock;
    std::atomic<uint64_t> m_discarded{0};
    std::atomic<uint64_t> m_lost{0};
};

}  // namespace kestrel
