// kestrel-dump -w OUT with -C SIZE, -G SECONDS and -W COUNT: packets written
// to a series of files, named and rotated as tcpdump names and rotates them,
// so that long captures on servers fill a bounded ring of files.
//
//   -C SIZE     before a packet is written, a file already larger than SIZE
//               million bytes is completed and the next one begun: OUT,
//               OUT1, OUT2 ... (a file holds at most SIZE million bytes and
//               one packet).
//   -W COUNT    with -C: the numbers go round, 0 to COUNT - 1, written with
//               as many digits as COUNT - 1 has (OUT0, OUT1, OUT2 for 3), and
//               each new file replaces the oldest. With -G alone: the output
//               ends once COUNT files are complete.
//   -G SECONDS  the first packet SECONDS or more after a file was begun
//               begins the next one; OUT is a strftime(3) format of the
//               local time the file begins at (without one each file
//               replaces the one before). With -C too, the numbers start
//               again with each new time (OUT, OUT1, ... or OUT0, OUT1, ...).
//
// Every file is completed as the next is begun: written, synced and renamed
// into place, its header saying what its frames need, so it can be read,
// copied or compressed while the capture goes on. The completing (the disk
// sync above all) is done on a thread of its own, in order, so a capture
// never stops reading for the disk. The file being written is a hidden
// temporary file beside it until then, and an old file of the same name
// stays whole until its replacement is complete.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/capture_writer.h"

namespace kestrel::dump {

struct Rotation {
    uint64_t fileSize = 0;  // -C, in bytes; 0: no rotation by size
    uint64_t seconds = 0;   // -G; 0: no rotation by time
    uint32_t files = 0;     // -W; 0: no limit
    bool Rotates() const { return fileSize || seconds; }
};

class RotatingOutput {
public:
    // The clock of -G (tests give their own).
    using Clock = std::function<std::time_t()>;

    RotatingOutput() = default;
    // Completes the files left behind; the file being written (no Finish)
    // is given up, and the old file of its name stays.
    ~RotatingOutput();
    RotatingOutput(const RotatingOutput&) = delete;
    RotatingOutput& operator=(const RotatingOutput&) = delete;

    // Begins the first file of `kind` named after `pattern`. False with a
    // message.
    bool Open(const std::string& pattern, FileKind kind, const Rotation& rotation,
              std::string& error, Clock clock = nullptr);
    // Writes a stream of `kind` to `out` instead, which never rotates
    // (CaptureWriter::OpenStream).
    bool OpenStream(std::FILE* out, FileKind kind, uint32_t snapLength, std::string& error);
    // Writes one packet, beginning the next file first when the current one
    // is due. False with a message when a file could not be completed,
    // begun or written.
    bool Write(const Packet& packet, std::string& error);
    // Completes the file being written (nothing is replaced without it: a
    // file given up on leaves the old one of its name as it was), after
    // every file before it.
    bool Finish(std::string& error);
    // Waits until every file left behind is complete; false with the
    // message of the first that could not be completed.
    bool WaitForCompleted(std::string& error);

    // -G with -W: COUNT files are complete and nothing more is written
    // (the packet that found it out was not).
    bool Ended() const { return m_ended; }
    // Packets written, in all files.
    uint64_t Count() const { return m_count; }
    // Files begun so far, and the name of the last.
    uint64_t Files() const { return m_files; }
    const std::string& Name() const { return m_name; }

private:
    // The name of file `number` of the current time (tcpdump's rule).
    bool MakeName(uint32_t number, int digits, std::string& name, std::string& error) const;
    bool Begin(uint32_t number, int digits, std::string& error);
    // Hands the file being written to the completing thread.
    bool LeaveBehind(std::string& error);
    void Complete(bool waits);

    std::unique_ptr<CaptureWriter> m_writer;  // of the file being written
    std::string m_pattern;
    FileKind m_kind = FileKind::Pac;
    Rotation m_rotation;
    Clock m_clock;
    int m_digits = 0;            // of the -W numbers
    std::time_t m_begun = 0;     // when the current file was begun (-G)
    uint32_t m_sizeNumber = 0;   // number of the current file within its time
    uint64_t m_timeFiles = 0;    // files begun by -G before the current one
    uint64_t m_count = 0;
    uint64_t m_files = 0;
    bool m_ended = false;
    std::string m_name;
    std::string m_failure;  // why the next file could not be begun

    // Files left behind, completed in order by m_completer.
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::unique_ptr<CaptureWriter>> m_leftBehind;  // under m_lock
    bool m_completing = false;                                // under m_lock
    bool m_stopping = false;                                  // under m_lock
    std::string m_completeError;                              // under m_lock
    std::thread m_completer;
};

// "kestrel-dump: N packets written to OUT" on stderr, naming the last of
// several files.
void ReportWritten(const RotatingOutput& output);

}  // namespace kestrel::dump
