#include "kestrel-dump/dump_printer.h"

#include <cerrno>

#include "core/row_text.h"
#include "core/text_helpers.h"
#include "kestrel-dump/dump_modes.h"

namespace kestrel::dump {

namespace {

// Packets per batch: enough to make a handover cheap against the work, few
// enough that the text of the batches in flight stays small (a packet's JSON
// is about three times its tree).
constexpr size_t kBatchPackets = 32;
constexpr size_t kJsonBatchPackets = 16;
constexpr size_t kBatchBytes = 64 * 1024;

void AppendRow(const RowTexts& row, std::string& out) {
    for (int c = 0; c < kColumnCount; ++c) {
        if (c) out += '\t';
        out += row.cells[static_cast<size_t>(c)];
    }
    out += '\n';
}

// Appends the selected forms of one packet; `row` is its list row, there
// when rows or JSON are selected.
void AppendForms(const PrintModes& modes, const Packet& packet, int number, const RowTexts* row,
                 std::string& out) {
    if (modes.rows) AppendRow(*row, out);
    if (modes.tree) AppendTree(packet, number, modes.lineCount, out);
    if (modes.hex) {
        out += FormatHexDump({packet.data, packet.header->caplen});
        out += "\r\n";
    }
    if (modes.json) AppendJson(packet, number, modes.lineCount, *row, out);
}

}  // namespace

bool Output::Write(std::string_view text) {
    if (m_error) return false;
    errno = 0;
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), m_stream) != text.size())
        m_error = errno ? errno : EIO;
    return !m_error;
}

bool Output::Flush() {
    if (m_error) return false;
    errno = 0;
    if (std::fflush(m_stream) != 0 || std::ferror(m_stream)) m_error = errno ? errno : EIO;
    return !m_error;
}

void PrintPacket(const PrintModes& modes, const Packet& packet, int number, LocalTimeCache& times,
                 std::string& out) {
    if (modes.rows || modes.json) {
        // Built in place: a row assigned afterwards costs a fifth of a rows run.
        const RowTexts row = BuildRowTexts(packet, number, &times);
        AppendForms(modes, packet, number, &row, out);
    } else {
        AppendForms(modes, packet, number, nullptr, out);
    }
}

ParallelPrinter::ParallelPrinter(const PrintModes& modes, int workers, Output& out)
    : m_modes(modes),
      m_out(out),
      m_batchPackets(modes.json ? kJsonBatchPackets : kBatchPackets),
      m_maxInFlight(static_cast<size_t>(workers) + 2) {
    for (int i = 0; i < workers; ++i) m_workers.emplace_back([this] { Work(); });
}

ParallelPrinter::~ParallelPrinter() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stopping = true;
    }
    m_workReady.notify_all();
    for (std::thread& worker : m_workers) worker.join();
}

void ParallelPrinter::Add(const Packet& packet, int number) {
    if (!m_current) {
        if (m_spare.empty()) {
            m_current = std::make_unique<Batch>();
        } else {
            m_current = std::move(m_spare.back());
            m_spare.pop_back();
        }
    }
    Batch& batch = *m_current;
    batch.headers.push_back(*packet.header);
    batch.numbers.push_back(number);
    batch.bytes.insert(batch.bytes.end(), packet.data, packet.data + packet.header->caplen);
    if (batch.headers.size() >= m_batchPackets || batch.bytes.size() >= kBatchBytes) Submit();
}

void ParallelPrinter::Submit() {
    while (m_inFlight.size() >= m_maxInFlight) WriteOldest(true);
    Batch* batch = m_current.get();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_inFlight.push_back(std::move(m_current));
        m_queue.push_back(batch);
    }
    m_workReady.notify_one();
    // Whatever is finished goes out now, so output keeps flowing.
    while (WriteOldest(false)) {
    }
}

bool ParallelPrinter::WriteOldest(bool wait) {
    std::unique_ptr<Batch> batch;
    {
        std::unique_lock<std::mutex> hold(m_lock);
        if (m_inFlight.empty()) return false;
        while (!m_inFlight.front()->done) {
            if (!wait) return false;
            if (m_queue.empty()) {
                m_batchDone.wait(hold, [&] { return m_inFlight.front()->done; });
                break;
            }
            // Rather than wait, this thread formats the next batch no worker
            // has taken yet.
            Batch* next = m_queue.front();
            m_queue.pop_front();
            hold.unlock();
            Format(*next, m_times);
            hold.lock();
            next->done = true;
        }
        batch = std::move(m_inFlight.front());
        m_inFlight.pop_front();
    }
    m_out.Write(batch->text);
    batch->headers.clear();
    batch->numbers.clear();
    batch->bytes.clear();
    batch->text.clear();
    batch->done = false;
    m_spare.push_back(std::move(batch));
    return true;
}

bool ParallelPrinter::Finish() {
    if (m_current && !m_current->headers.empty()) Submit();
    while (WriteOldest(true)) {
    }
    return m_out.Error() == 0;
}

void ParallelPrinter::Format(Batch& batch, LocalTimeCache& times) const {
    size_t offset = 0;
    for (size_t i = 0; i < batch.headers.size(); ++i) {
        PacketHeader& header = batch.headers[i];
        const Packet packet{&header, batch.bytes.data() + offset};
        PrintPacket(m_modes, packet, batch.numbers[i], times, batch.text);
        offset += header.caplen;
    }
}

void ParallelPrinter::Work() {
    LocalTimeCache times;
    for (;;) {
        Batch* batch = nullptr;
        {
            std::unique_lock<std::mutex> hold(m_lock);
            m_workReady.wait(hold, [&] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty()) return;
            batch = m_queue.front();
            m_queue.pop_front();
        }
        Format(*batch, times);
        {
            std::lock_guard<std::mutex> hold(m_lock);
            batch->done = true;
        }
        m_batchDone.notify_all();
    }
}

}  // namespace kestrel::dump
