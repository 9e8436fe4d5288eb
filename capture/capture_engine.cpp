#include "capture/capture_engine.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "capture/device_names.h"
#include "capture/pcap_api.h"
#include "capture/remote.h"
#include "capture/stream_session.h"

namespace kestrel {

namespace {

// How often a running capture asks the library for its drop count.
constexpr auto kDropPollInterval = std::chrono::seconds(1);
// How long a start waits for the worker of the capture just stopped.
constexpr auto kStoppingWorkerWait = std::chrono::seconds(1);

void Report(const std::string& reason, std::string* out) {
    std::fprintf(stderr, "%s\n", reason.c_str());
    if (out) *out = reason;
}

}  // namespace

// One adapter's capture. The UI thread starts, stops and joins the worker;
// the worker reads `running` after every read and clears `workerAlive` as
// its last step. The session is opened by the UI thread before the worker
// starts and closed by the worker when it ends, under `sessionLock`, which
// also covers BreakLoop from the UI thread.
struct CaptureDevice {
    std::string displayName;
    // Where the frames come from: an adapter of this machine, one of another
    // machine (over ssh), or a stream that some program writes.
    enum class Source { Local, Remote, Stream } source = Source::Local;
    RemoteHost host;         // Remote
    RemoteAdapter remote;    // Remote
    std::string streamPath;  // Stream: a FIFO, or "-" for standard input
    // Stream: standard input and regular files hold one stream, read by the
    // first start (a FIFO takes a new writer at every start). `spent` once
    // that start is made; UI thread only.
    bool readOnce = false;
    bool spent = false;
    std::thread worker;
    std::atomic<bool> workerAlive{false};
    std::atomic<int> running{0};
    // Set with the stop: the session still returns the frames that arrived
    // before it, and the worker delivers them.
    std::atomic<bool> finishing{false};
    std::mutex sessionLock;
    std::unique_ptr<PcapSession> session;
    CaptureErrorHandler onError;  // written before the worker starts
    CaptureEndHandler onEnd;      // written before the worker starts
    void* sinkContext = nullptr;  // written before the worker starts
    std::atomic<uint64_t> lost{0};
    std::atomic<uint64_t> kernelDrops{0};  // of the current or last capture
};

struct CCaptureEngine::Impl {
    std::shared_ptr<PcapApi> api;
    std::vector<std::string> names;
    std::vector<std::unique_ptr<CaptureDevice>> devices;
    std::atomic<PacketSink> sink{nullptr};
    bool enumerationFailed = false;

    CaptureDevice* Find(const std::string& name) const {
        for (const auto& d : devices) {
            if (d->displayName == name) return d.get();
        }
        return nullptr;
    }

    void EnumerateDevices() {
        std::vector<PcapDevice> list;
        std::string error;
        if (!api->FindAllDevices(list, error)) {
            std::fprintf(stderr, "Error in pcap_findalldevs: %s\n", error.c_str());
            enumerationFailed = true;
            return;
        }
        names = NameDevices(EthernetDevices(list));
        for (const std::string& name : names) {
            auto device = std::make_unique<CaptureDevice>();
            device->displayName = name;
            devices.push_back(std::move(device));
        }
    }

    static void NoteKernelDrops(CaptureDevice& device, PcapSession& session) {
        uint64_t dropped = 0;
        if (session.KernelDrops(dropped))
            device.kernelDrops.store(dropped, std::memory_order_relaxed);
    }

    void CaptureThreadProc(CaptureDevice& device) {
        PcapSession& session = *device.session;
        PacketHeader header;
        const uint8_t* data = nullptr;
        auto nextDropPoll = std::chrono::steady_clock::now() + kDropPollInterval;
        int r;
        for (;;) {
            r = session.Next(header, data);
            if (std::chrono::steady_clock::now() >= nextDropPoll) {
                NoteKernelDrops(device, session);
                nextDropPoll = std::chrono::steady_clock::now() + kDropPollInterval;
            }
            if (r < 0)
                break;
            // After a stop, only a session that keeps what came before it
            // goes on delivering.
            if (device.running.load(std::memory_order_acquire) == 0 &&
                !device.finishing.load(std::memory_order_acquire))
                break;
            if (r == 0) continue;
            Packet* packet = MakePacket(header, data);
            if (!packet) {
                device.lost.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            if (PacketSink deliver = sink.load(std::memory_order_acquire)) {
                deliver(device.sinkContext, packet);
            } else {
                ReleasePacket(packet);
            }
        }
        if (r == -1 && device.onError) device.onError(kCaptureErrorRead, session.ErrorText());
        NoteKernelDrops(device, session);
        {
            std::lock_guard<std::mutex> hold(device.sessionLock);
            device.session.reset();
        }
        if (device.onEnd)
            device.onEnd(device.kernelDrops.load(std::memory_order_relaxed));
        // A capture that ended by itself (a read error, an adapter gone) reads
        // as idle, so it can be started again.
        device.running.store(0, std::memory_order_release);
        device.workerAlive.store(false, std::memory_order_release);
    }

    // Hands the open session to the device's new worker.
    bool Launch(CaptureDevice& device, std::unique_ptr<PcapSession> session,
                CaptureErrorHandler onError, CaptureEndHandler onEnd, void* sinkContext,
                std::string* reason) {
        const std::string& name = device.displayName;
        const int linkType = session->DataLink();
        if (linkType != kLinkTypeEthernet) {
            Report("Ethernet 以外のﾃﾞﾊﾞｲｽはｷｬﾌﾟﾁｬｰできません (" + name + "): ﾘﾝｸ ﾀｲﾌﾟ " +
                       std::to_string(linkType),
                   reason);
            return false;
        }
        device.onError = std::move(onError);
        device.onEnd = std::move(onEnd);
        device.sinkContext = sinkContext;
        device.kernelDrops.store(0, std::memory_order_relaxed);
        device.finishing.store(false, std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> hold(device.sessionLock);
            device.session = std::move(session);
        }
        device.running.store(1, std::memory_order_release);
        device.workerAlive.store(true, std::memory_order_release);
        try {
            device.worker = std::thread([this, &device] { CaptureThreadProc(device); });
        } catch (const std::system_error& e) {
            device.running.store(0);
            device.workerAlive.store(false);
            std::lock_guard<std::mutex> hold(device.sessionLock);
            device.session.reset();
            Report(std::string("ｽﾚｯﾄﾞを作成できません: ") + e.what(), reason);
            return false;
        }
        return true;
    }

    // The frames that arrived before the stop are still delivered, where the
    // session can tell them apart; none that came later.
    static void RequestStop(CaptureDevice& device) {
        {
            std::lock_guard<std::mutex> hold(device.sessionLock);
            if (device.session && device.session->Finish())
                device.finishing.store(true, std::memory_order_release);
        }
        device.running.store(0, std::memory_order_release);
    }

    static void Join(CaptureDevice& device) {
        if (device.worker.joinable()) device.worker.join();
    }

    // A worker asked to stop reads as idle at once, but it still delivers
    // what arrived before the stop and closes its session. A start in that
    // moment (Stop and Start pressed in quick succession) waits for it a
    // little rather than refusing; true when the device has no worker left.
    static bool AwaitStoppingWorker(CaptureDevice& device) {
        const auto deadline = std::chrono::steady_clock::now() + kStoppingWorkerWait;
        while (device.workerAlive.load(std::memory_order_acquire)) {
            if (device.running.load(std::memory_order_acquire) != 0 ||
                std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Join(device);
        return true;
    }
};

CCaptureEngine::CCaptureEngine(std::shared_ptr<PcapApi> api) : m_impl(std::make_unique<Impl>()) {
    m_impl->api = api ? std::move(api) : MakeRealPcapApi();
    m_impl->EnumerateDevices();
}

CCaptureEngine::~CCaptureEngine() {
    for (const auto& device : m_impl->devices) Impl::RequestStop(*device);
    for (const auto& device : m_impl->devices) Impl::Join(*device);
}

const std::vector<std::string>& CCaptureEngine::GetNameList() const { return m_impl->names; }

int CCaptureEngine::GetDeviceCount() const { return static_cast<int>(m_impl->names.size()); }

bool CCaptureEngine::EnumerationFailed() const { return m_impl->enumerationFailed; }

void CCaptureEngine::SetPacketSink(PacketSink sink) {
    m_impl->sink.store(sink, std::memory_order_release);
}

bool CCaptureEngine::StartCapture(const std::string& name, CaptureErrorHandler onError,
                                  void* sinkContext, std::string* reason, CaptureEndHandler onEnd,
                                  const std::string& filter) {
    if (CaptureDevice* device = m_impl->Find(name);
        device && device->source != CaptureDevice::Source::Local) {
        if (!Impl::AwaitStoppingWorker(*device)) {
            if (reason)
                *reason = "ｷｬﾌﾟﾁｬｰを終了していません (" + name + ")";
            return false;
        }
        if (device->spent) {
            Report("ｽﾄﾘｰﾑは一度しか読めません (" + name + ")", reason);
            return false;
        }
        std::unique_ptr<PcapSession> session;
        if (device->source == CaptureDevice::Source::Remote) {
            std::string error;
            session = OpenRemoteCapture(device->host, device->remote, filter, error);
            if (!session) {
                Report("ﾃﾞﾊﾞｲｽを開けません (" + name + "): " + error, reason);
                return false;
            }
        } else {
            session = OpenPathStream(device->streamPath);
        }
        if (!m_impl->Launch(*device, std::move(session), std::move(onError), std::move(onEnd),
                            sinkContext, reason))
            return false;
        device->spent = device->readOnce;
        return true;
    }

    // Look the adapter up again in a fresh list: it may have gone since the
    // names were made.
    std::vector<PcapDevice> listed;
    std::string error;
    if (!m_impl->api->FindAllDevices(listed, error)) {
        std::fprintf(stderr, "Error in pcap_findalldevs: %s\n", error.c_str());
        if (reason) *reason = "Error in pcap_findalldevs: " + error;
        return false;
    }
    const std::vector<PcapDevice> list = EthernetDevices(listed);
    const std::vector<std::string> fresh = NameDevices(list);
    size_t index = 0;
    while (index < fresh.size() && fresh[index] != name) ++index;
    if (index == fresh.size() || name.empty()) {
        Report("ﾃﾞﾊﾞｲｽが見つかりません (" + name + ")", reason);
        return false;
    }
    CaptureDevice* device = m_impl->Find(name);
    if (!device) {
        Report("ﾃﾞﾊﾞｲｽが見つかりません (" + name + ")", reason);
        return false;
    }
    if (!Impl::AwaitStoppingWorker(*device)) {
        // Already capturing, or a stopped worker still finishing.
        if (reason) *reason = "ｷｬﾌﾟﾁｬｰを終了していません (" + name + ")";
        return false;
    }

    LiveOptions options;
    options.filter = filter;
    bool permissionDenied = false;
    std::unique_ptr<PcapSession> session =
        m_impl->api->OpenLive(list[index].name, options, error, permissionDenied);
    if (!session && permissionDenied) {
        // The capture helper holds the privilege this process lacks.
        std::string helperError;
        session = OpenCaptureHelper(list[index].name, filter, helperError);
        if (!session) {
            Report("ﾃﾞﾊﾞｲｽを開けません (" + name + "): " + error + "\n" + helperError, reason);
            return false;
        }
        error.clear();
    }
    if (!session) {
        Report("ﾃﾞﾊﾞｲｽを開けません (" + name + "): " + error, reason);
        return false;
    }
    if (!error.empty())
        std::fprintf(stderr, "ﾃﾞﾊﾞｲｽの警告 (%s): %s\n", name.c_str(), error.c_str());
    return m_impl->Launch(*device, std::move(session), std::move(onError), std::move(onEnd),
                          sinkContext, reason);
}

std::vector<std::string> CCaptureEngine::AddRemoteAdapters(const RemoteListing& listing) {
    std::vector<std::string> added;
    for (const RemoteAdapter& adapter : listing.adapters) {
        const std::string name = RemoteAdapterName(adapter, listing.host);
        if (m_impl->Find(name))
            continue;
        auto device = std::make_unique<CaptureDevice>();
        device->displayName = name;
        device->source = CaptureDevice::Source::Remote;
        device->host = listing.host;
        device->remote = adapter;
        m_impl->devices.push_back(std::move(device));
        m_impl->names.push_back(name);
        added.push_back(name);
    }
    return added;
}

bool CCaptureEngine::AddStreamAdapter(const std::string& name, const std::string& path) {
    if (name.empty() || m_impl->Find(name))
        return false;
    auto device = std::make_unique<CaptureDevice>();
    device->displayName = name;
    device->source = CaptureDevice::Source::Stream;
    device->streamPath = path;
    struct stat status {};
    device->readOnce = path == "-" || (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode));
    m_impl->devices.push_back(std::move(device));
    m_impl->names.push_back(name);
    return true;
}

int CCaptureEngine::StopCapture(const std::string& name) {
    CaptureDevice* device = m_impl->Find(name);
    if (!device) return 0;
    if (device->workerAlive.load(std::memory_order_acquire)) Impl::RequestStop(*device);
    return 1;
}

int CCaptureEngine::GetCaptureState(const std::string& name) const {
    const CaptureDevice* device = m_impl->Find(name);
    if (!device) return kCaptureUnknown;
    if (device->running.load(std::memory_order_acquire)) return kCaptureCapturing;
    // A stream read to its end, or stopped, that cannot be read again is no
    // adapter any more.
    return device->spent ? kCaptureUnknown : kCaptureIdle;
}

void CCaptureEngine::WaitForCapture(const std::string& name) {
    CaptureDevice* device = m_impl->Find(name);
    if (!device) return;
    if (device->workerAlive.load(std::memory_order_acquire)) Impl::RequestStop(*device);
    Impl::Join(*device);
}

int CCaptureEngine::CountCapturing() const {
    int count = 0;
    for (const std::string& name : m_impl->names) {
        if (GetCaptureState(name) == kCaptureCapturing) ++count;
    }
    return count;
}

void CCaptureEngine::StopAllCaptures() {
    for (const std::string& name : m_impl->names) StopCapture(name);
}

uint64_t CCaptureEngine::GetLostCount(const std::string& name) const {
    const CaptureDevice* device = m_impl->Find(name);
    return device ? device->lost.load(std::memory_order_relaxed) : 0;
}

uint64_t CCaptureEngine::GetKernelDropCount(const std::string& name) const {
    const CaptureDevice* device = m_impl->Find(name);
    return device ? device->kernelDrops.load(std::memory_order_relaxed) : 0;
}

}  // namespace kestrel
