// Dragged packets between two running Kestrel processes: the dragging process
// serves the payload (core/transfer_payload.h) on a local socket, and the drag
// data carries only a ticket that names the socket and the payload's length.
// Drag data that crosses processes otherwise travels in the X selection,
// which the toolkit answers with one request of the X server: a payload
// beyond the server's request limit (16 MiB) breaks the dragging program's
// connection. The socket carries any size, straight from the payload in
// memory into the receiver's packets.
//
// The socket lives in the abstract namespace (nothing on disk, nothing left
// behind when a process ends), under a name made of 128 random bits, and both
// ends check that the other runs as the same user.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/packet.h"

namespace kestrel {

inline constexpr uint8_t kTransferTicketMagic[4] = {'K', 'S', 'T', 'T'};
inline constexpr uint32_t kTransferTicketVersion = 1;
// Magic, version, payload length (64 bits), token; little-endian.
inline constexpr size_t kTransferTicketSize = 32;
// How long either end waits for the other to move before it gives up.
inline constexpr int kTransferStallMs = 5000;

struct TransferTicket {
    uint64_t payloadSize = 0;
    std::array<uint8_t, 16> token{};  // names the socket
};

std::array<uint8_t, kTransferTicketSize> EncodeTransferTicket(const TransferTicket& ticket);
// nullopt unless `bytes` is exactly one ticket of this version.
std::optional<TransferTicket> DecodeTransferTicket(std::span<const uint8_t> bytes);

// The abstract socket name a ticket names, without its leading zero byte.
std::string TransferSocketName(const TransferTicket& ticket);

// Serves one payload, whole, to every connection of this user, one
// connection at a time, on a thread of its own until it is destroyed.
class TransferServer {
public:
    // `payload` must outlive the server. nullptr when no socket or thread
    // can be had.
    static std::unique_ptr<TransferServer> Start(std::span<const uint8_t> payload);
    // Stops serving (also in the middle of a connection) and waits for the
    // thread.
    ~TransferServer();
    TransferServer(const TransferServer&) = delete;
    TransferServer& operator=(const TransferServer&) = delete;

    const TransferTicket& Ticket() const { return m_ticket; }

private:
    TransferServer(std::span<const uint8_t> payload, const TransferTicket& ticket, int listenFd,
                   int stopFd);
    void Run();
    // False when the server is being stopped.
    bool Serve(int connection);

    std::span<const uint8_t> m_payload;
    TransferTicket m_ticket;
    int m_listenFd;
    int m_stopFd;  // an eventfd: readable once the server is to stop
    std::thread m_thread;
};

struct TransferFetch {
    // The socket the ticket names answered; when it did not (the dragging
    // process is gone or runs on another host), the caller may try the
    // drag data's other formats.
    bool reached = false;
    // The packets, or nullopt when the payload was refused (another user's
    // socket, a stall of kTransferStallMs, a malformed payload, no memory).
    std::optional<std::vector<PacketPtr>> packets;
};

// Reads the packets of the payload the ticket names.
TransferFetch FetchTransfer(const TransferTicket& ticket, int stallMs = kTransferStallMs);

}  // namespace kestrel
