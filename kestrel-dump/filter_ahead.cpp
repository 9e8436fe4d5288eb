#include "kestrel-dump/filter_ahead.h"

#include <algorithm>
#include <new>
#include <system_error>

namespace kestrel::dump {

namespace {

// Matching frames kept for one region before the rest of it is left to the
// reading thread. A filter that selects that much is printing-bound and
// gains nothing ahead; no region is begun after that.
constexpr size_t kMatchBytes = 64 * 1024;
// Regions smaller than this are not worth the hand-over.
constexpr uint64_t kMinRegion = 4u << 20;
// Regions per core: the reading thread must not wait long for the region it
// comes to, nor a helper sit idle at the end.
constexpr unsigned kRegionsPerCore = 8;

}  // namespace

int FilterAhead::RegionsFor(uint64_t size, unsigned cores) {
    if (cores < 2) return 1;
    const uint64_t bySize = size / kMinRegion;
    return static_cast<int>(std::max<uint64_t>(1, std::min<uint64_t>(bySize, cores * kRegionsPerCore)));
}

FilterAhead::FilterAhead(const CaptureReader& file, const PacketFilter& filter, int regions,
                         int helpers)
    : m_file(file), m_filter(filter), m_regions(static_cast<size_t>(std::max(regions, 1))) {
    const uint64_t first = file.RecordOffset();
    const uint64_t size = std::max(file.FileSize(), first);
    const size_t count = m_regions.size();
    for (size_t i = 0; i < count; ++i) {
        m_regions[i].start = first + (size - first) / count * i;
        if (i > 0) m_regions[i - 1].limit = m_regions[i].start;
    }
    m_regions.back().limit = std::numeric_limits<uint64_t>::max();
    try {
        for (int i = 0; i < helpers && static_cast<size_t>(i) + 1 < count; ++i) {
            m_helpers.emplace_back([this] { Help(); });
        }
    } catch (const std::system_error&) {
        // No more threads to be had: fewer helpers, or the reading thread alone.
    }
}

FilterAhead::~FilterAhead() {
    m_stop = true;
    for (std::thread& helper : m_helpers) helper.join();
}

size_t FilterAhead::Claim() {
    const size_t count = m_regions.size();
    size_t next = m_claimed.load();
    while (!m_stop.load(std::memory_order_relaxed) && next < count) {
        if (m_claimed.compare_exchange_weak(next, next + 1)) return next;
    }
    return count;
}

void FilterAhead::Help() {
    CaptureReader reader;
    for (size_t i = Claim(); i < m_regions.size(); i = Claim()) Scan(m_regions[i], reader);
}

void FilterAhead::Scan(Region& region, CaptureReader& reader) {
    FilteredRegion& found = region.found;
    try {
        if (reader.OpenNear(m_file, region.start)) {
            found.started = true;
            found.begin = found.end = reader.RecordOffset();
            while (!m_stop.load(std::memory_order_relaxed) && found.end < region.limit) {
                if (found.bytes.size() >= kMatchBytes) {
                    m_stop = true;  // a filter that selects much: read on alone
                    break;
                }
                if (reader.Next() != CaptureReader::Result::Packet) {
                    // The end, or an error: the reading thread meets it for
                    // itself at this record, with its own message.
                    break;
                }
                ++found.records;
                const Packet& packet = reader.Current();
                if (m_filter.Matches(packet)) {
                    found.numbers.push_back(found.records);
                    found.headers.push_back(*packet.header);
                    found.bytes.insert(found.bytes.end(), packet.data,
                                       packet.data + packet.header->caplen);
                }
                found.end = reader.RecordOffset();
            }
        }
    } catch (const std::bad_alloc&) {
        // No memory for work ahead: the reading thread reads on alone.
        found.started = false;
        m_stop = true;
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        region.done = true;
    }
    m_regionDone.notify_all();
}

const FilteredRegion* FilterAhead::Take(uint64_t recordOffset) {
    const size_t index = m_next++;
    Region& region = m_regions[index];
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (region.done) break;
        }
        // Rather than wait, filter the next region nobody has begun (this
        // one, when the helpers are behind).
        const size_t other = Claim();
        if (other < m_regions.size()) {
            Scan(m_regions[other], m_ownScanner);
            continue;
        }
        size_t unclaimed = index;
        if (m_claimed.compare_exchange_strong(unclaimed, index + 1)) {
            return nullptr;  // stopped before anyone began it: read it in order
        }
        std::unique_lock<std::mutex> hold(m_lock);
        m_regionDone.wait(hold, [&] { return region.done; });
        break;
    }
    const FilteredRegion& found = region.found;
    return found.started && found.begin == recordOffset ? &found : nullptr;
}

MatchReader::MatchReader(CaptureReader& reader, const PacketFilter& filter, unsigned cores)
    : MatchReader(reader, filter, FilterAhead::RegionsFor(reader.FileSize(), cores),
                  // A helper per core: the reading thread hands out the work
                  // and waits at times, so it does not count as one.
                  static_cast<int>(cores)) {}

MatchReader::MatchReader(CaptureReader& reader, const PacketFilter& filter, int regions, int helpers)
    : m_reader(reader), m_filter(filter) {
    // Without a filter every packet is printed: nothing to gain ahead.
    if (regions > 1 && helpers > 0 && !filter.Empty() && reader.HasRecordOffsets())
        m_ahead = std::make_unique<FilterAhead>(reader, filter, regions, helpers);
}

CaptureReader::Result MatchReader::Next() {
    for (;;) {
        if (m_region) {
            if (m_match < m_region->headers.size()) {
                m_header = m_region->headers[m_match];
                m_packet.data = const_cast<uint8_t*>(m_region->bytes.data()) + m_matchOffset;
                m_matchOffset += m_header.caplen;
                m_number = m_regionBase + m_region->numbers[m_match++];
                return CaptureReader::Result::Packet;
            }
            // Every match handed out: on past the region's records.
            m_number = m_regionBase + m_region->records;
            const FilteredRegion& done = *m_region;
            m_region = nullptr;
            if (!m_reader.ContinueAt(done.end, done.records))
                return CaptureReader::Result::Failed;
            continue;
        }
        if (m_ahead && m_reader.RecordOffset() >= m_ahead->NextRegion()) {
            m_region = m_ahead->Take(m_reader.RecordOffset());
            if (m_region) {
                m_match = m_matchOffset = 0;
                m_regionBase = m_number;
                ++m_regionsTaken;
            }
            continue;
        }
        const CaptureReader::Result result = m_reader.Next();
        if (result != CaptureReader::Result::Packet)
            return result;
        ++m_number;
        if (m_filter.Matches(m_reader.Current())) {
            m_header = *m_reader.Current().header;
            m_packet.data = m_reader.Current().data;
            return result;
        }
    }
}

}  // namespace kestrel::dump
