// Frames carried end to end, from the loopback wire to the sink (where a
// document's store takes them), by a direct capture and through the capture
// helper's pipe (kestrel-capture writing a pcap stream that the engine
// reads), as an unprivileged desktop program captures. For each: packets
// per second carried under a flood, and the latency from the send to the
// sink at a steady rate (median and 99th percentile).
//
//   sudo build/ci/bench/capture_pipe_bench [FLOOD_COUNT]
//
// Needs root (or CAP_NET_RAW) for the direct capture; the helper is found as
// the engine finds it (KESTREL_CAPTURE_HELPER, or the build's tools folder).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_engine.h"
#include "capture/pcap_api.h"

namespace {

using namespace kestrel;
using Clock = std::chrono::steady_clock;

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The real library, except that opening an adapter is refused for lack of
// privilege: the engine then runs the capture helper.
class DeniedPcap : public PcapApi {
public:
    DeniedPcap() : m_real(MakeRealPcapApi()) {}
    bool FindAllDevices(std::vector<PcapDevice>& devices, std::string& error) override {
        return m_real->FindAllDevices(devices, error);
    }
    std::unique_ptr<PcapSession> OpenLive(const std::string&, const LiveOptions&,
                                          std::string& message, bool& denied) override {
        message = "refused by the benchmark";
        denied = true;
        return nullptr;
    }

private:
    std::shared_ptr<PcapApi> m_real;
};

// The sink's context: datagrams counted, their send stamps turned into
// latencies. UDP over IPv4 on loopback: the payload starts at 42.
struct Counter {
    std::atomic<uint64_t> packets{0};
    std::atomic<int64_t> lastNs{0};
    std::mutex lock;
    std::vector<int64_t> latencies;
    bool measureLatency = false;
};

void CountingSink(void* context, Packet* packet) {
    auto& counter = *static_cast<Counter*>(context);
    const int64_t now = NowNs();
    if (counter.measureLatency && packet->header->caplen >= 42 + sizeof(int64_t)) {
        int64_t sent = 0;
        std::memcpy(&sent, packet->data + 42, sizeof sent);
        std::lock_guard<std::mutex> hold(counter.lock);
        counter.latencies.push_back(now - sent);
    }
    ReleasePacket(packet);
    counter.lastNs.store(now, std::memory_order_relaxed);
    counter.packets.fetch_add(1, std::memory_order_release);
}

struct Result {
    bool ok = false;
    uint64_t carried = 0;
    uint64_t sent = 0;
    uint64_t kernelDrops = 0;
    double packetsPerSecond = 0;
    double medianUs = 0;
    double p99Us = 0;
};

Result Measure(std::shared_ptr<PcapApi> api, int floodCount) {
    Result result;
    CCaptureEngine engine(std::move(api));
    const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof to;
    if (bind(receiver, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        getsockname(receiver, reinterpret_cast<sockaddr*>(&to), &size) != 0)
        return result;
    engine.SetPacketSink(&CountingSink);
    const std::string filter = "udp dst port " + std::to_string(ntohs(to.sin_port));
    char payload[64] = {};
    auto send = [&] {
        const int64_t now = NowNs();
        std::memcpy(payload, &now, sizeof now);
        sendto(sender, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };

    // Flood: as fast as the sender goes; carried = what reached the sink.
    Counter flood;
    std::string reason;
    if (!engine.StartCapture("127.0.0.1", nullptr, &flood, &reason, nullptr, filter)) {
        std::fprintf(stderr, "cannot start: %s\n", reason.c_str());
        return result;
    }
    // Until the capture sees traffic.
    while (flood.packets.load() == 0) {
        send();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const uint64_t before = flood.packets.load();
    const int64_t start = NowNs();
    for (int i = 0; i < floodCount; ++i) send();
    // Until nothing more comes for half a second.
    uint64_t seen = 0;
    do {
        seen = flood.packets.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    } while (flood.packets.load() != seen);
    result.sent = static_cast<uint64_t>(floodCount);
    result.carried = flood.packets.load() - before;
    result.packetsPerSecond =
        static_cast<double>(result.carried) / (static_cast<double>(flood.lastNs - start) / 1e9);
    engine.WaitForCapture("127.0.0.1");
    result.kernelDrops = engine.GetKernelDropCount("127.0.0.1");

    // Latency: 2000 datagrams, 1 ms apart.
    Counter steady;
    steady.measureLatency = true;
    if (!engine.StartCapture("127.0.0.1", nullptr, &steady, &reason, nullptr, filter))
        return result;
    while (steady.packets.load() == 0) {
        send();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    {
        std::lock_guard<std::mutex> hold(steady.lock);
        steady.latencies.clear();
    }
    for (int i = 0; i < 2000; ++i) {
        send();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    engine.WaitForCapture("127.0.0.1");
    close(sender);
    close(receiver);
    std::vector<int64_t> latencies = steady.latencies;
    if (latencies.empty())
        return result;
    std::sort(latencies.begin(), latencies.end());
    result.medianUs = static_cast<double>(latencies[latencies.size() / 2]) / 1000.0;
    result.p99Us = static_cast<double>(latencies[latencies.size() * 99 / 100]) / 1000.0;
    result.ok = true;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int floodCount = argc > 1 ? std::atoi(argv[1]) : 200000;
    if (geteuid() != 0) {
        std::fputs("capture_pipe_bench: a direct capture needs root; nothing measured\n", stderr);
        return 0;
    }
    std::printf("%-8s %10s %10s %10s %14s %12s %12s\n", "path", "sent", "carried", "dropped",
                "packets/s", "median us", "p99 us");
    Result results[2];
    const char* names[2] = {"direct", "helper"};
    for (int i = 0; i < 2; ++i) {
        results[i] =
            Measure(i == 0 ? MakeRealPcapApi() : std::make_shared<DeniedPcap>(), floodCount);
        if (!results[i].ok) {
            std::fprintf(stderr, "capture_pipe_bench: the %s capture could not be measured\n",
                         names[i]);
            return 1;
        }
        const Result& r = results[i];
        std::printf("%-8s %10llu %10llu %10llu %14.0f %12.1f %12.1f\n", names[i],
                    static_cast<unsigned long long>(r.sent),
                    static_cast<unsigned long long>(r.carried),
                    static_cast<unsigned long long>(r.kernelDrops), r.packetsPerSecond, r.medianUs,
                    r.p99Us);
    }
    std::printf("helper: %.0f%% of the direct rate; %.1f us more from wire to store (median)\n",
                100.0 * results[1].packetsPerSecond / results[0].packetsPerSecond,
                results[1].medianUs - results[0].medianUs);
    return 0;
}
