// kestrel-bench-send: the traffic of the capture benchmark (capture_loss.sh).
//
//   kestrel-bench-send send ADDRESS PORT COUNT [RATE]
//       COUNT UDP datagrams of 64 bytes to ADDRESS:PORT, each numbered in
//       its first 8 bytes: at RATE datagrams per second, or as fast as this
//       machine sends them without RATE (or with 0). Prints "SENT SECONDS".
//   kestrel-bench-send listen ADDRESS PORT
//       Holds a socket bound to ADDRESS:PORT until it is killed, so the
//       datagrams find a receiver (no ICMP answers); it reads nothing.
//   kestrel-bench-send count FILE...
//       The number of packets in each capture file, one per line (-1 for a
//       file that cannot be read to its end).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/capture_reader.h"

namespace {

constexpr size_t kDatagramSize = 64;
// Datagrams handed to the kernel per call when sending as fast as possible.
constexpr unsigned kBatch = 64;

int Usage() {
    std::fputs("Usage: kestrel-bench-send send ADDRESS PORT COUNT [RATE]\n"
               "       kestrel-bench-send listen ADDRESS PORT\n"
               "       kestrel-bench-send count FILE...\n",
               stderr);
    return 2;
}

bool Address(const char* address, const char* port, sockaddr_in& to) {
    to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
    return inet_pton(AF_INET, address, &to.sin_addr) == 1;
}

double Seconds(const timespec& t) { return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9; }

timespec Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

timespec Plus(const timespec& start, double seconds) {
    timespec t = start;
    const auto ns = static_cast<long long>(seconds * 1e9) + t.tv_nsec;
    t.tv_sec += static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
    return t;
}

int Send(const sockaddr_in& to, long long count, double rate) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0 || connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        std::perror("kestrel-bench-send");
        return 1;
    }
    // At a rate, one batch per millisecond at least; sleeping in between
    // leaves the processor to the captures.
    const unsigned batch =
        rate > 0 ? static_cast<unsigned>(std::max(1.0, std::min(1024.0, rate / 1000))) : kBatch;
    std::vector<uint8_t> payloads(static_cast<size_t>(batch) * kDatagramSize, 'k');
    std::vector<iovec> parts(batch);
    std::vector<mmsghdr> messages(batch);
    for (unsigned i = 0; i < batch; ++i) {
        parts[i] = {payloads.data() + i * kDatagramSize, kDatagramSize};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    const timespec start = Now();
    long long sent = 0;
    while (sent < count) {
        if (rate > 0) {
            const timespec due = Plus(start, static_cast<double>(sent) / rate);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        }
        const auto n = static_cast<unsigned>(std::min<long long>(batch, count - sent));
        for (unsigned i = 0; i < n; ++i) {
            const uint64_t number = static_cast<uint64_t>(sent) + i;
            std::memcpy(payloads.data() + i * kDatagramSize, &number, sizeof number);
        }
        const int r = sendmmsg(s, messages.data(), n, 0);
        if (r > 0)
            sent += r;
        else if (r < 0 && errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
            std::perror("kestrel-bench-send");
            return 1;
        }
    }
    const double seconds = Seconds(Now()) - Seconds(start);
    std::printf("%lld %.3f\n", sent, seconds);
    close(s);
    return 0;
}

int Listen(const sockaddr_in& at) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0 || bind(s, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        std::perror("kestrel-bench-send");
        return 1;
    }
    for (;;) pause();
}

int Count(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        kestrel::CaptureReader reader;
        std::string error;
        long long packets = -1;
        if (reader.Open(argv[i], {}, error)) {
            kestrel::CaptureReader::Result r;
            packets = 0;
            while ((r = reader.Next()) == kestrel::CaptureReader::Result::Packet) ++packets;
            if (r == kestrel::CaptureReader::Result::Failed)
                packets = -1;
        }
        std::printf("%lld\n", packets);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    const std::string mode = argv[1];
    sockaddr_in address{};
    if (mode == "send" && (argc == 5 || argc == 6) && Address(argv[2], argv[3], address))
        return Send(address, std::atoll(argv[4]), argc == 6 ? std::atof(argv[5]) : 0);
    if (mode == "listen" && argc == 4 && Address(argv[2], argv[3], address))
        return Listen(address);
    if (mode == "count" && argc >= 3)
        return Count(argc, argv);
    return Usage();
}
