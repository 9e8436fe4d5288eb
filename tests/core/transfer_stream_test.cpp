// Dragged packets through the dragging process's socket: the receiver gets
// them whole, as often as it asks; another user, a wrong ticket, a server
// that is gone or a receiver that stops reading harm nothing.
#include "core/transfer_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <vector>

#include "core/transfer_payload.h"
#include "test_util.h"

namespace kestrel {
namespace {

using test::MakeTestPacket;

// Three frames: above the read-ahead, above one send, and a short one.
struct Payload {
    Payload() {
        for (const size_t size : {size_t{100000}, size_t{3} << 20, size_t{60}}) {
            std::vector<uint8_t> bytes(size);
            for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + size);
            owned.emplace_back(MakeTestPacket(bytes, static_cast<uint32_t>(size), 7));
            packets.push_back(owned.back().get());
        }
        bytes = EncodeTransferPayload(packets);
    }

    void ExpectSame(const std::vector<PacketPtr>& got) const {
        ASSERT_EQ(got.size(), packets.size());
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(*got[i]->header, *packets[i]->header);
            ASSERT_EQ(std::memcmp(got[i]->data, packets[i]->data, packets[i]->header->caplen), 0);
        }
    }

    std::vector<PacketPtr> owned;
    std::vector<const Packet*> packets;
    std::vector<uint8_t> bytes;
};

// A connection to the socket a ticket names, made without any checks.
int Connect(const TransferTicket& ticket) {
    const std::string name = TransferSocketName(ticket);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(TransferStream, TicketsRoundTripAndOthersAreRefused) {
    TransferTicket ticket;
    ticket.payloadSize = (uint64_t{1} << 40) + 5;
    for (size_t i = 0; i < ticket.token.size(); ++i) ticket.token[i] = static_cast<uint8_t>(i * 17);
    const auto bytes = EncodeTransferTicket(ticket);
    const auto back = DecodeTransferTicket(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->payloadSize, ticket.payloadSize);
    EXPECT_EQ(back->token, ticket.token);
    EXPECT_EQ(TransferSocketName(ticket), "kestrel-transfer-00112233445566778899aabbccddeeff");

    EXPECT_FALSE(DecodeTransferTicket(std::span(bytes).first(kTransferTicketSize - 1)));
    std::vector<uint8_t> longer(bytes.begin(), bytes.end());
    longer.push_back(0);
    EXPECT_FALSE(DecodeTransferTicket(longer));
    for (const size_t at : {size_t{0}, size_t{4}}) {
        auto damaged = bytes;
        damaged[at] ^= 1;
        EXPECT_FALSE(DecodeTransferTicket(damaged)) << at;
    }
}

TEST(TransferStream, ReceiverGetsThePacketsAsOftenAsItAsks) {
    const Payload payload;
    const auto server = TransferServer::Start(payload.bytes);
    ASSERT_TRUE(server);
    EXPECT_EQ(server->Ticket().payloadSize, payload.bytes.size());
    for (int i = 0; i < 2; ++i) {
        TransferFetch fetch = FetchTransfer(server->Ticket());
        EXPECT_TRUE(fetch.reached);
        ASSERT_TRUE(fetch.packets);
        payload.ExpectSame(*fetch.packets);
    }
    // Every drag has a socket of its own.
    const auto another = TransferServer::Start(payload.bytes);
    ASSERT_TRUE(another);
    EXPECT_NE(another->Ticket().token, server->Ticket().token);
}

// A ticket announcing another length than the socket serves, or naming a
// socket that is gone, gives no packets; only the gone socket leaves the
// receiver free to try the inline payload.
TEST(TransferStream, WrongOrStaleTicketsGiveNothing) {
    const Payload payload;
    TransferTicket stale;
    {
        const auto server = TransferServer::Start(payload.bytes);
        ASSERT_TRUE(server);
        for (const int64_t delta : {-1, 1, 1000}) {
            TransferTicket wrong = server->Ticket();
            wrong.payloadSize += static_cast<uint64_t>(delta);
            const TransferFetch fetch = FetchTransfer(wrong, 2000);
            EXPECT_TRUE(fetch.reached) << delta;
            EXPECT_FALSE(fetch.packets) << delta;
        }
        stale = server->Ticket();
    }
    const TransferFetch fetch = FetchTransfer(stale);
    EXPECT_FALSE(fetch.reached);
    EXPECT_FALSE(fetch.packets);
}

// A receiver that stops reading holds up neither the next receiver for
// longer than the stall time nor the end of the server.
TEST(TransferStream, StalledReceiverHoldsNothingUp) {
    const Payload payload;
    auto server = TransferServer::Start(payload.bytes);
    ASSERT_TRUE(server);
    const int stalled = Connect(server->Ticket());
    ASSERT_GE(stalled, 0);
    const auto start = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    close(stalled);
}

// The socket serves only processes of its own user, and the receiver takes
// packets only from a socket of its own user.
TEST(TransferStream, OtherUsersGetNothing) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a process as another user";
    const Payload payload;
    const auto server = TransferServer::Start(payload.bytes);
    ASSERT_TRUE(server);
    const int result = test::RunInChildAsNobody([&] {
        const TransferFetch fetch = FetchTransfer(server->Ticket());
        if (!fetch.reached || fetch.packets)
            return 4;
        const int fd = Connect(server->Ticket());
        char byte = 0;
        return fd >= 0 && recv(fd, &byte, 1, 0) == 0 ? 0 : 5;
    });
    EXPECT_EQ(result, 0);
    // The owner is still served.
    const TransferFetch fetch = FetchTransfer(server->Ticket());
    ASSERT_TRUE(fetch.packets);
    payload.ExpectSame(*fetch.packets);
}

}  // namespace
}  // namespace kestrel
