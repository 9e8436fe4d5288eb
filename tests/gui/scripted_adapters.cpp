#include "scripted_adapters.h"

#include <vector>

#include "capture/scripted_pcap.h"

namespace kestrel::test {

struct ScriptedAdapters::Impl {
    std::shared_ptr<ScriptedPcap> pcap = std::make_shared<ScriptedPcap>();
};

namespace {

std::string SystemName(int index) { return "eth" + std::to_string(index); }

// An Ethernet/IPv4/UDP frame of 60 bytes from 10.0.0.(index + 1), numbered.
std::vector<uint8_t> UdpFrame(int index, int number) {
    std::vector<uint8_t> f = {
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(index),
        0x08, 0x00, 0x45, 0x00, 0x00, 0x2e, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11, 0x00, 0x00,
        10, 0, 0, static_cast<uint8_t>(index + 1), 10, 0, 0, 254,
        0x30, 0x39, 0x00, 0x35, 0x00, 0x1a, 0x00, 0x00};
    f.resize(60, 0);
    f[42] = static_cast<uint8_t>(number >> 8);
    f[43] = static_cast<uint8_t>(number);
    return f;
}

}  // namespace

ScriptedAdapters::ScriptedAdapters(int count) : m_impl(std::make_unique<Impl>()) {
    // Quiet adapters answer with a timeout now and then, as the real library.
    m_impl->pcap->SetReadTimeout(100);
    for (int i = 0; i < count; ++i) {
        m_impl->pcap->AddAdapter(SystemName(i),
                                 {ScriptedPcap::LinkLayer(),
                                  ScriptedPcap::Ipv4(10, 0, 0, static_cast<uint8_t>(i + 1)),
                                  ScriptedPcap::Ipv6()});
    }
}

ScriptedAdapters::~ScriptedAdapters() = default;

std::shared_ptr<PcapApi> ScriptedAdapters::Api() const { return m_impl->pcap; }

std::string ScriptedAdapters::Name(int index) { return "10.0.0." + std::to_string(index + 1); }

void ScriptedAdapters::FailOpen(int index, const std::string& text) {
    m_impl->pcap->FailOpen(SystemName(index), text);
}

void ScriptedAdapters::DeliverFrames(int index, int count) {
    for (int n = 0; n < count; ++n) {
        m_impl->pcap->PushFrame(SystemName(index), UdpFrame(index, n), 0, 1796635800u + n / 1000,
                                static_cast<uint32_t>(n % 1000) * 1000u);
    }
}

void ScriptedAdapters::FailRead(int index, const std::string& text) {
    m_impl->pcap->PushReadError(SystemName(index), text);
}

void ScriptedAdapters::DropInKernel(int index, uint64_t count) {
    m_impl->pcap->PushKernelDrops(SystemName(index), count);
}

bool ScriptedAdapters::WaitUntilRead(int index) {
    return m_impl->pcap->WaitUntilRead(SystemName(index));
}

}  // namespace kestrel::test
