// Reading the packets of a capture one at a time, in constant memory:
// ".pac" by our own parser, pcap and pcapng through libpcap's reader on the
// input stream itself (so a pipe is read once, never reopened by name). The
// kind is told by the first bytes.
//
// A regular file (or memory) in the common pcap form (version 2.4, Ethernet,
// micro- or nanosecond times) is read record by record straight from our
// buffer instead: libpcap's reader copies every packet a second time through
// stdio, which is most of the time a filtered run spends. It keeps libpcap's
// rules (the same packets, the same errors); any other pcap header is left to
// libpcap.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/input_source.h"
#include "core/local_time.h"
#include "core/packet.h"

namespace kestrel {

enum class FileKind { Pac, Pcap, PcapNg };

// Kind of a file from its first bytes: the pcap and pcapng magic numbers,
// anything else (an empty file included) is ".pac".
FileKind DetectFileKind(std::span<const uint8_t> head);

class CaptureReader {
public:
    enum class Result {
        Packet,  // Current() holds the next packet
        End,     // the input ended (for ".pac" also at an incomplete or damaged record)
        Failed,  // reading stopped on an error; Error() says why
    };

    CaptureReader() = default;
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // Opens `path` ("-": standard input) and tells its kind; `limits` apply
    // when it is not a regular file. False with a message when it cannot be
    // read at all: missing, a folder, no data in time, a damaged pcap header,
    // a link type other than Ethernet.
    bool Open(const std::string& path, const ReadLimits& limits, std::string& error);
    // The same over bytes in memory (which must outlive the reader).
    bool OpenMemory(std::span<const uint8_t> bytes, std::string& error);
    // The same over the caller's descriptor (a pipe, say), which stays open;
    // `name` names it in messages.
    bool OpenDescriptor(int fd, const std::string& name, const ReadLimits& limits,
                        std::string& error);

    FileKind Kind() const { return m_kind; }
    // The input is a pipe, FIFO, device or terminal, which may still be
    // growing: callers that print show each packet as it arrives.
    bool IsStream() const { return m_source.IsStream(); }

    // The next packet. A ".pac" input of four bytes or more without one
    // complete record fails as not a packet file; after a complete record an
    // incomplete or damaged tail is the end, as ".pac" files have always
    // been read. For pcap and pcapng, libpcap's complaint is the error.
    Result Next();
    // The packet of the last Next() that gave Packet: valid until the next
    // call. Its caplen is at most kMaxPacketLength.
    const Packet& Current() const { return m_packet; }
    const std::string& Error() const { return m_error; }
    // Packets given so far.
    uint64_t Count() const { return m_count; }
    // True when reading ended because the limits' cancel descriptor fired.
    bool Canceled() const { return m_source.Canceled(); }

    // Records at known offsets: a regular file in the common pcap form, read
    // record by record. Then several readers can share out one file.
    bool HasRecordOffsets() const { return m_pcapRecords && m_source.IsRegularFile(); }
    // The file offset of the record the next Next() reads (HasRecordOffsets()).
    uint64_t RecordOffset() const { return m_source.Position() - (m_end - m_begin); }
    // The size of the file now (HasRecordOffsets()).
    uint64_t FileSize() const { return m_source.FileSize(); }
    // Opens the file `file` reads (HasRecordOffsets()) a second time, at the
    // first record that seems to begin at or after `offset`: a chain of
    // record heads that could all be real within the first 256 KiB. It is a
    // guess, true only if a reader of the records before arrives there; see
    // RecordOffset(). False when no such chain is found. Called again (for
    // the same file), the reader moves, keeping its buffer.
    bool OpenNear(const CaptureReader& file, uint64_t offset);
    // Reading goes on at `offset`, the start of a record, and `skipped`
    // packets count as given: the records before `offset` were read by
    // another reader. False (with Error()) when the file cannot be
    // repositioned.
    bool ContinueAt(uint64_t offset, uint64_t skipped);

private:
    bool Start(std::string& error);
    Result Fail(const std::string& error);
    Result NextPac();
    Result NextPcap();
    // The fast pcap path: takes the file header when it is in the common
    // form (true), or leaves everything to libpcap (false).
    bool StartPcapRecords();
    Result NextPcapRecord();
    // libpcap's failure for a record cut short: `got` of `wanted` bytes of
    // its `what` ("header" or "captured").
    [[gnu::cold]] [[gnu::noinline]] Result PcapTruncated(const char* what, size_t wanted, size_t got);
    // libpcap's failure for a captured length beyond what it reads.
    [[gnu::cold]] [[gnu::noinline]] Result PcapTooLong(uint32_t caplen);
    // Makes at least `size` bytes of the input available from m_begin;
    // false at the end of the input.
    bool Fill(size_t size) { return m_end - m_begin >= size || FillMore(size); }
    bool FillMore(size_t size);
    // True when a record head that could be real starts at m_buffer[at] and
    // is followed by more such heads within the buffer, up to eight.
    bool RecordsSeemToStartAt(size_t at) const;

    InputSource m_source;
    FileKind m_kind = FileKind::Pac;
    pcap_t* m_pcap = nullptr;
    bool m_pcapRecords = false;  // pcap read by NextPcapRecord
    bool m_pcapSwapped = false;  // its fields are in the other byte order
    bool m_pcapNano = false;     // its times are in nanoseconds
    uint32_t m_pcapSnapshot = 0;
    bool m_outOfMemory = false;  // the buffer could not grow for a record
    std::vector<uint8_t> m_buffer;  // ".pac": bytes read, m_begin ... m_end unparsed
    size_t m_begin = 0;
    size_t m_end = 0;
    LocalTimeCache m_times;
    PacketHeader m_header;
    Packet m_packet{&m_header, nullptr};
    uint64_t m_count = 0;
    bool m_done = false;
    std::string m_error;
};

}  // namespace kestrel
