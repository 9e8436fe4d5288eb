// Writing capture files packet by packet, in constant memory: ".pac",
// classic pcap (through libpcap's dump functions) and pcapng. The document's
// Save, kestrel-dump's conversion and its capture to a file all write
// through this one writer.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/capture_reader.h"
#include "core/file_util.h"
#include "core/local_time.h"
#include "core/packet.h"

namespace kestrel {

// The snapshot length a pcap or pcapng file declares when no frame needs
// more: the snapshot length captures are made with.
inline constexpr uint32_t kPcapWriteSnapLength = 65536;
// The longest frame a pcap or pcapng reader takes for Ethernet (libpcap's
// limit; it refuses or cuts anything longer). Longer frames are kept only
// by ".pac".
inline constexpr uint32_t kPcapMaxSnapLength = 262144;

class CaptureWriter {
public:
    CaptureWriter() = default;
    // A file that was not finished is removed; the file it would have
    // replaced stays as it was.
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Starts a file of `kind` that replaces `path` when Finish succeeds
    // (ReplacingFile: a temporary file beside it). The pcap and pcapng
    // headers declare the snapshot length the frames written need, at least
    // kPcapWriteSnapLength.
    bool Open(const std::string& path, FileKind kind, std::string& error);
    // Starts writing `kind` to an open stream (not closed here), where the
    // header cannot be revised: it declares `snapLength`.
    bool OpenStream(std::FILE* out, FileKind kind, uint32_t snapLength, std::string& error);

    // Appends one packet. A frame longer than a pcap/pcapng file can hold
    // (or than the declared snapshot length of a stream) is refused with a
    // message naming ".pac": it is never cut.
    bool Write(const Packet& packet, std::string& error);
    // Completes the file (or flushes the stream). False with a message when
    // anything could not be written.
    bool Finish(std::string& error);

    uint64_t Count() const { return m_count; }
    // Bytes of the file so far: its header and the packets written.
    uint64_t Bytes() const { return m_bytes; }

private:
    bool WriteHeader();
    bool WriteFailed(std::string& error);
    // Sets `error` to the message for a packet that cannot be saved for
    // `reason`; false.
    bool Refuse(const std::string& reason, std::string& error) const;
    bool PatchSnapLength();

    ReplacingFile m_file;
    std::FILE* m_out = nullptr;
    bool m_isStream = false;
    std::string m_name;
    FileKind m_kind = FileKind::Pac;
    LocalTimeCache m_times;
    pcap_t* m_dead = nullptr;
    pcap_dumper_t* m_dumper = nullptr;
    uint32_t m_snapLength = kPcapWriteSnapLength;  // declared in the header
    uint32_t m_limit = kPcapMaxSnapLength;         // longest frame accepted (pcap kinds)
    uint32_t m_longest = 0;
    uint64_t m_count = 0;
    uint64_t m_bytes = 0;
};

}  // namespace kestrel
