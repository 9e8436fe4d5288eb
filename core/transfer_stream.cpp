#include "core/transfer_stream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <exception>
#include <limits>
#include <string>

#include "core/transfer_payload.h"

namespace kestrel {

namespace {

constexpr char kSocketPrefix[] = "kestrel-transfer-";
// Bytes handed to one send() and read ahead by one recv().
constexpr size_t kChunkSize = 1 << 20;
constexpr size_t kReadAhead = 64 << 10;

// The abstract socket address of a ticket; `length` receives its size.
sockaddr_un SocketAddress(const TransferTicket& ticket, socklen_t& length) {
    const std::string name = TransferSocketName(ticket);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A leading zero byte puts the name in the abstract namespace.
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

bool PeerIsThisUser(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
           credentials.uid == geteuid();
}

// Waits until `fd` is ready for `events`; false on a stall of `stallMs`, an
// error, or when `stopFd` (if any) becomes readable.
bool WaitFor(int fd, short events, int stallMs, int stopFd = -1) {
    pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        const int ready = poll(fds, stopFd >= 0 ? 2 : 1, stallMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (stopFd >= 0 && fds[1].revents))
            return false;
        return (fds[0].revents & events) != 0 || (fds[0].revents & POLLHUP) != 0;
    }
}

void PutLe(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLe(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | in[i];
    return value;
}

// The payload as it arrives on the socket, at most the announced length.
class SocketSource : public TransferByteSource {
public:
    SocketSource(int fd, uint64_t size, int stallMs)
        : m_fd(fd), m_left(static_cast<size_t>(size)), m_stallMs(stallMs) {}

    size_t Remaining() const override { return m_left; }

    bool Read(std::span<uint8_t> out) override {
        if (out.size() > m_left)
            return false;
        size_t done = 0;
        while (done < out.size()) {
            if (m_bufferStart < m_bufferEnd) {
                const size_t take = std::min(out.size() - done, m_bufferEnd - m_bufferStart);
                std::memcpy(out.data() + done, m_buffer.data() + m_bufferStart, take);
                m_bufferStart += take;
                done += take;
                continue;
            }
            // Large reads go straight into their destination; small ones
            // through the read-ahead buffer. Never beyond the payload's end.
            const size_t wanted = out.size() - done;
            const size_t unread = m_left - done;
            const bool direct = wanted >= kReadAhead;
            uint8_t* target = direct ? out.data() + done : m_buffer.data();
            const size_t room = direct ? wanted : std::min(kReadAhead, unread);
            if (!WaitFor(m_fd, POLLIN, m_stallMs))
                return false;
            const ssize_t got = recv(m_fd, target, room, 0);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0)
                return false;
            if (direct) {
                done += static_cast<size_t>(got);
            } else {
                m_bufferStart = 0;
                m_bufferEnd = static_cast<size_t>(got);
            }
        }
        m_left -= out.size();
        return true;
    }

private:
    int m_fd;
    size_t m_left;
    int m_stallMs;
    std::array<uint8_t, kReadAhead> m_buffer{};
    size_t m_bufferStart = 0;
    size_t m_bufferEnd = 0;
};

// Closes a descriptor when it goes out of scope.
struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            close(fd);
    }
};

}  // namespace

std::string TransferSocketName(const TransferTicket& ticket) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = kSocketPrefix;
    for (uint8_t byte : ticket.token) {
        name += kHex[byte >> 4];
        name += kHex[byte & 15];
    }
    return name;
}

std::array<uint8_t, kTransferTicketSize> EncodeTransferTicket(const TransferTicket& ticket) {
    std::array<uint8_t, kTransferTicketSize> bytes{};
    std::copy(std::begin(kTransferTicketMagic), std::end(kTransferTicketMagic), bytes.begin());
    PutLe(bytes.data() + 4, kTransferTicketVersion, 4);
    PutLe(bytes.data() + 8, ticket.payloadSize, 8);
    std::copy(ticket.token.begin(), ticket.token.end(), bytes.begin() + 16);
    return bytes;
}

std::optional<TransferTicket> DecodeTransferTicket(std::span<const uint8_t> bytes) {
    if (bytes.size() != kTransferTicketSize ||
        !std::equal(std::begin(kTransferTicketMagic), std::end(kTransferTicketMagic),
                    bytes.begin()) ||
        GetLe(bytes.data() + 4, 4) != kTransferTicketVersion)
        return std::nullopt;
    TransferTicket ticket;
    ticket.payloadSize = GetLe(bytes.data() + 8, 8);
    if constexpr (sizeof(size_t) < sizeof(uint64_t)) {
        if (ticket.payloadSize > std::numeric_limits<size_t>::max())
            return std::nullopt;
    }
    std::copy(bytes.begin() + 16, bytes.end(), ticket.token.begin());
    return ticket;
}

TransferServer::TransferServer(std::span<const uint8_t> payload, const TransferTicket& ticket,
                               int listenFd, int stopFd)
    : m_payload(payload), m_ticket(ticket), m_listenFd(listenFd), m_stopFd(stopFd) {}

std::unique_ptr<TransferServer> TransferServer::Start(std::span<const uint8_t> payload) {
    TransferTicket ticket;
    ticket.payloadSize = payload.size();
    if (getrandom(ticket.token.data(), ticket.token.size(), 0) !=
        static_cast<ssize_t>(ticket.token.size()))
        return nullptr;
    FdCloser listener{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    FdCloser stop{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    if (listener.fd < 0 || stop.fd < 0)
        return nullptr;
    socklen_t length = 0;
    const sockaddr_un address = SocketAddress(ticket, length);
    if (bind(listener.fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        listen(listener.fd, 4) != 0)
        return nullptr;
    std::unique_ptr<TransferServer> server(
        new (std::nothrow) TransferServer(payload, ticket, listener.fd, stop.fd));
    if (!server)
        return nullptr;
    try {
        server->m_thread = std::thread(&TransferServer::Run, server.get());
    } catch (const std::exception&) {
        // No thread, or no memory for one. The closers close the descriptors.
        server->m_listenFd = server->m_stopFd = -1;
        return nullptr;
    }
    listener.fd = stop.fd = -1;  // the server's now
    return server;
}

TransferServer::~TransferServer() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(m_stopFd, &one, sizeof one);
        m_thread.join();
    }
    if (m_listenFd >= 0)
        close(m_listenFd);
    if (m_stopFd >= 0)
        close(m_stopFd);
}

void TransferServer::Run() {
    for (;;) {
        if (!WaitFor(m_listenFd, POLLIN, -1, m_stopFd))
            return;
        const int connection = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (connection < 0)
            continue;
        FdCloser closer{connection};
        // Another user's process gets nothing, not even a byte.
        if (PeerIsThisUser(connection) && !Serve(connection))
            return;
    }
}

bool TransferServer::Serve(int connection) {
    size_t sent = 0;
    while (sent < m_payload.size()) {
        pollfd fds[2] = {{connection, POLLOUT, 0}, {m_stopFd, POLLIN, 0}};
        const int ready = poll(fds, 2, kTransferStallMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (fds[1].revents)
            return false;
        // A receiver that stopped reading or went away is dropped; the next
        // one is served.
        if (ready <= 0 || !(fds[0].revents & POLLOUT))
            return true;
        const size_t chunk = std::min(kChunkSize, m_payload.size() - sent);
        // MSG_NOSIGNAL: a receiver that goes away must not end this process.
        const ssize_t written = send(connection, m_payload.data() + sent, chunk, MSG_NOSIGNAL);
        if (written < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (written <= 0)
            return true;
        sent += static_cast<size_t>(written);
    }
    return true;
}

TransferFetch FetchTransfer(const TransferTicket& ticket, int stallMs) {
    TransferFetch fetch;
    FdCloser socketFd{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (socketFd.fd < 0)
        return fetch;
    socklen_t length = 0;
    const sockaddr_un address = SocketAddress(ticket, length);
    int connected;
    do {
        connected = connect(socketFd.fd, reinterpret_cast<const sockaddr*>(&address), length);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0)
        return fetch;
    fetch.reached = true;
    // A socket of that name held by another user is not the dragging process.
    if (!PeerIsThisUser(socketFd.fd))
        return fetch;
    SocketSource source(socketFd.fd, ticket.payloadSize, stallMs);
    fetch.packets = DecodeTransferPayload(source);
    return fetch;
}

}  // namespace kestrel
