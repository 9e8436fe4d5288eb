#include "core/packet_store.h"

#include <algorithm>

namespace kestrel {

PacketStore::~PacketStore() {
    const int count = m_packetCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) {
        ReleasePacket(m_packets[static_cast<size_t>(i)]);
    }
}

PacketStore::AppendResult PacketStore::AppendPacket(Packet* packet) {
    if (!packet) {
        NoteLost();
        return AppendResult::NoPacket;
    }
    {
        std::lock_guard guard(m_lock);
        const int count = m_packetCount.load(std::memory_order_relaxed);
        if (count < kCapacity) {
            m_packets[static_cast<size_t>(count)] = packet;
            m_packetCount.store(count + 1, std::memory_order_release);
            return AppendResult::Stored;
        }
    }
    m_discarded.fetch_add(1, std::memory_order_relaxed);
    ReleasePacket(packet);
    return AppendResult::Full;
}

void PacketStore::RemovePacket(int k) {
    std::lock_guard guard(m_lock);
    const int count = m_packetCount.load(std::memory_order_relaxed);
    if (k < 0 || k >= count) {
        return;
    }
    ReleasePacket(m_packets[static_cast<size_t>(k)]);
    std::move(m_packets.begin() + k + 1, m_packets.begin() + count, m_packets.begin() + k);
    m_packets[static_cast<size_t>(count - 1)] = nullptr;
    m_packetCount.store(count - 1, std::memory_order_release);
}

void PacketStore::RemovePackets(const std::vector<int>& ascending) {
    std::lock_guard guard(m_lock);
    const int count = m_packetCount.load(std::memory_order_relaxed);
    size_t next = 0;  // next index of `ascending` to drop
    int write = 0;
    for (int read = 0; read < count; ++read) {
        while (next < ascending.size() && ascending[next] < read) {
            ++next;  // skips duplicates and out-of-order entries
        }
        if (next < ascending.size() && ascending[next] == read) {
            ReleasePacket(m_packets[static_cast<size_t>(read)]);
            ++next;
            continue;
        }
        m_packets[static_cast<size_t>(write++)] = m_packets[static_cast<size_t>(read)];
    }
    std::fill(m_packets.begin() + write, m_packets.begin() + count, nullptr);
    m_packetCount.store(write, std::memory_order_release);
}

uint64_t PacketStore::ByteCount() const {
    uint64_t total = 0;
    const int count = Count();
    for (int i = 0; i < count; ++i) {
        total += At(i)->header->caplen;
    }
    return total;
}

}  // namespace kestrel
