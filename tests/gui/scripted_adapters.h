// Adapters of the scripted capture library, as the shell tests need them:
// adapter i (from 0) has the one IPv4 address 10.0.0.(i + 1), which is also
// its display name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kestrel {
class PcapApi;
}

namespace kestrel::test {

class ScriptedAdapters {
public:
    explicit ScriptedAdapters(int count);
    ~ScriptedAdapters();

    std::shared_ptr<PcapApi> Api() const;
    // Display name of adapter `index`.
    static std::string Name(int index);

    // The next open of the adapter fails with `text`.
    void FailOpen(int index, const std::string& text);
    // Once the adapter is opened it delivers `count` Ethernet/IPv4/UDP frames
    // and then only read timeouts.
    void DeliverFrames(int index, int count);
    // Once the adapter is opened its first read fails with `text`.
    void FailRead(int index, const std::string& text);
    // The kernel drops `count` frames once the events before are read.
    void DropInKernel(int index, uint64_t count);
    // Waits until the adapter's events are all read.
    bool WaitUntilRead(int index);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace kestrel::test
