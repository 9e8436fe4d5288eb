// kestrel-dump -f on a large pcap file: the filter runs on every core.
//
// The file is shared out into regions of about equal size. The reading
// thread filters the first region as always; helper threads filter the
// later ones at the same time, each with a reader of its own that begins at
// the first record that seems to start in the region, and keep the packets
// that match, up to a bound. When the reading thread arrives at a region it
// takes the region's work only if its own next record is exactly where that
// work began; otherwise it reads the region itself. Work that stopped early
// (the bound, an error, the end) leaves the rest of the region to the
// reading thread, which reads on from there. Either way the packets, their
// numbers and any error are those of reading the file alone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/capture_reader.h"
#include "kestrel-dump/packet_filter.h"

namespace kestrel::dump {

// What was found in a region: the records from `begin` up to `end`.
struct FilteredRegion {
    bool started = false;  // a first record was found
    uint64_t begin = 0;    // offset of the first record read
    uint64_t end = 0;      // offset of the first record not read
    uint64_t records = 0;  // records read, matching or not
    std::vector<uint64_t> numbers;      // of the matches, 1 = the region's first record
    std::vector<PacketHeader> headers;  // of the matches
    std::vector<uint8_t> bytes;         // the matches' frames back to back
};

class FilterAhead {
public:
    // Shares out `file` (HasRecordOffsets(), positioned at its first
    // record) into `regions` regions; `helpers` threads start at once on
    // the regions after the first, in order.
    FilterAhead(const CaptureReader& file, const PacketFilter& filter, int regions, int helpers);
    // Stops the helpers and waits for them.
    ~FilterAhead();
    FilterAhead(const FilterAhead&) = delete;
    FilterAhead& operator=(const FilterAhead&) = delete;

    // The regions a file of `size` bytes is shared into on `cores` cores:
    // 1 (nothing ahead) on one core or for files too small to gain.
    static int RegionsFor(uint64_t size, unsigned cores);

    // Where the next region not yet handed over begins (the largest
    // offset when none is left).
    uint64_t NextRegion() const {
        return m_next < m_regions.size() ? m_regions[m_next].start
                                         : std::numeric_limits<uint64_t>::max();
    }
    // For the reading thread once its next record (at `recordOffset`) is at
    // or past NextRegion(): the region's work when it began at
    // `recordOffset`, else nullptr (read it yourself). While the work is
    // still going on, the calling thread filters later regions meanwhile.
    const FilteredRegion* Take(uint64_t recordOffset);

private:
    struct Region {
        uint64_t start = 0;  // nominal: the work looks for a record from here
        uint64_t limit = 0;  // the next region's start
        FilteredRegion found;
        bool done = false;  // under m_lock
    };

    // Claims the next region nobody has claimed: its index, or the region
    // count when none is left.
    size_t Claim();
    // Filters `region` with `reader`, a reader of the calling thread's.
    void Scan(Region& region, CaptureReader& reader);
    void Help();

    const CaptureReader& m_file;
    const PacketFilter& m_filter;
    std::vector<Region> m_regions;  // the first is the reading thread's own
    CaptureReader m_ownScanner;     // the reading thread's, for later regions
    size_t m_next = 1;              // the region Take hands over next
    std::atomic<size_t> m_claimed{1};
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::condition_variable m_regionDone;
    std::vector<std::thread> m_helpers;
};

// The packets of a capture that pass a filter, in order, with their numbers
// in the input: a large pcap file is filtered on several cores.
class MatchReader {
public:
    // On a machine of `cores` cores.
    MatchReader(CaptureReader& reader, const PacketFilter& filter, unsigned cores);
    // `regions` regions and `helpers` helper threads, for a filter on a file
    // with record offsets (1 and 0: the calling thread alone).
    MatchReader(CaptureReader& reader, const PacketFilter& filter, int regions, int helpers);

    // The next matching packet (Current(), Number()); the end or a failure
    // as the reader has them, after every packet before it.
    CaptureReader::Result Next();
    // Valid until the next call.
    const Packet& Current() const { return m_packet; }
    // Its position in the input, 1-based.
    uint64_t Number() const { return m_number; }
    // Regions whose work was taken (for tests).
    int RegionsTaken() const { return m_regionsTaken; }

private:
    CaptureReader& m_reader;
    const PacketFilter& m_filter;
    std::unique_ptr<FilterAhead> m_ahead;
    const FilteredRegion* m_region = nullptr;  // being handed out
    size_t m_match = 0;                        // its next match
    size_t m_matchOffset = 0;                  // that match's bytes
    uint64_t m_regionBase = 0;                 // numbers before the region
    int m_regionsTaken = 0;
    uint64_t m_number = 0;
    PacketHeader m_header;
    Packet m_packet{&m_header, nullptr};
};

}  // namespace kestrel::dump
