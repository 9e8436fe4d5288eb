// The printed forms of kestrel-dump (rows, tree, hex, JSON), and a printer
// that formats them on worker threads while the reading thread goes on, and
// writes them in input order. Formatting trees is most of the work of a
// large dump; packets are independent, so it spreads over the cores.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/local_time.h"
#include "core/packet.h"

namespace kestrel::dump {

struct PrintModes {
    bool rows = false;
    bool tree = false;
    bool hex = false;
    bool json = false;
    int lineCount = 32;
};

// A stream the printed forms go to (standard output): every write and flush
// is checked and the first failure's reason kept, so a full disk or a
// closed file is never taken for success. Nothing is written after it.
class Output {
public:
    explicit Output(std::FILE* stream) : m_stream(stream) {}
    // False once anything failed.
    bool Write(std::string_view text);
    bool Flush();
    // The system's reason (an errno value) for the first failure; 0 while none.
    int Error() const { return m_error; }

private:
    std::FILE* m_stream;
    int m_error = 0;
};

// Appends every selected form of one packet (number: its position in the
// input, 1-based) to `out`.
void PrintPacket(const PrintModes& modes, const Packet& packet, int number, LocalTimeCache& times,
                 std::string& out);

// Packets are copied into batches; `workers` threads format whole batches;
// the calling thread writes finished batches to `out` in the order they
// were added, and formats batches itself rather than wait for a worker.
// Memory stays bounded: a few batches in flight at most.
class ParallelPrinter {
public:
    ParallelPrinter(const PrintModes& modes, int workers, Output& out);
    // Waits for the workers (Finish first to have everything written).
    ~ParallelPrinter();
    ParallelPrinter(const ParallelPrinter&) = delete;
    ParallelPrinter& operator=(const ParallelPrinter&) = delete;

    void Add(const Packet& packet, int number);
    // Writes everything added so far; false when writing failed (the
    // output keeps the reason).
    bool Finish();

private:
    struct Batch {
        std::vector<PacketHeader> headers;
        std::vector<int> numbers;
        std::vector<uint8_t> bytes;  // the frames back to back
        std::string text;
        bool done = false;
    };

    void Submit();
    // Writes the oldest batch once it is done; false when none is waiting.
    bool WriteOldest(bool wait);
    void Work();
    void Format(Batch& batch, LocalTimeCache& times) const;

    const PrintModes m_modes;
    Output& m_out;
    std::unique_ptr<Batch> m_current;
    std::deque<std::unique_ptr<Batch>> m_inFlight;  // in input order
    std::deque<Batch*> m_queue;                     // not yet taken by a worker
    std::vector<std::unique_ptr<Batch>> m_spare;
    LocalTimeCache m_times;  // the calling thread's, when it formats a batch
    size_t m_batchPackets;
    size_t m_maxInFlight;
    std::mutex m_lock;
    std::condition_variable m_workReady;
    std::condition_variable m_batchDone;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};

}  // namespace kestrel::dump
