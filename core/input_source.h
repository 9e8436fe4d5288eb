// The bytes of one capture input, read once from the front: a file, a pipe,
// a FIFO, a device, standard input or a block of memory.
//
// Nothing is mapped into memory: a file that shrinks while it is read gives
// a short read (the reader sees its end), never a fault. Inputs that are not
// regular files can be given time limits, so a FIFO that no program writes
// to, or a silent device, ends with a message instead of blocking for ever.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace kestrel {

// Time limits for inputs that are not regular files (regular files always
// come to an end). -1: no limit.
struct ReadLimits {
    int firstDataMs = -1;  // until the first byte has come
    int totalMs = -1;      // for reading the whole input
    // A descriptor that becomes readable when the reading should stop (an
    // eventfd or pipe of the caller's): a wait for data then ends as if the
    // input had ended, and Canceled() says so. -1: none.
    int cancelFd = -1;
};

class InputSource {
public:
    InputSource() = default;
    ~InputSource();
    InputSource(const InputSource&) = delete;
    InputSource& operator=(const InputSource&) = delete;

    // Opens `path`; opening a FIFO does not wait for a writer. False with a
    // message for a missing file, a folder or any other open failure.
    bool Open(const std::string& path, const ReadLimits& limits, std::string& error);
    // Reads this process's standard input (left open at the end).
    void OpenStandardInput(const ReadLimits& limits);
    // Reads the caller's descriptor `fd` (left open at the end), named
    // `name` in messages.
    void OpenDescriptor(int fd, const std::string& name, const ReadLimits& limits);
    // Reads `bytes`, which must outlive the source.
    void OpenMemory(std::span<const uint8_t> bytes);
    // Reads the regular file `other` reads a second time, from `offset`, on
    // a descriptor of its own (positional reads: the two never disturb each
    // other). Called again (for the same file), it moves to `offset`. False
    // when `other` is not a regular file.
    bool OpenAgain(const InputSource& other, uint64_t offset);

    // The name used in messages (the path, or "-" for standard input).
    const std::string& Name() const { return m_name; }

    // Up to `size` bytes, at least one unless the input has ended, failed or
    // run out of time (Failed() tells the last two apart from the end).
    size_t Read(void* buffer, size_t size);
    // Reads until `size` bytes have come or the input ends; the count read.
    size_t ReadFull(void* buffer, size_t size);
    // Puts bytes read last back in front of the rest (at most 24, once).
    void Unread(std::span<const uint8_t> bytes);
    // The offset in the file (or memory) of the byte the next Read gives.
    uint64_t Position() const { return m_position - (m_unreadEnd - m_unreadBegin); }
    // A regular file: reading goes on at `offset`. False (with Error()) when
    // the file cannot be repositioned.
    bool Seek(uint64_t offset);
    // The size of a regular file now; 0 for anything else.
    uint64_t FileSize() const;

    bool Failed() const { return !m_error.empty(); }
    // A pipe, FIFO, device or standard input that is not a file: data may
    // come in bursts while the input is still being written.
    bool IsStream() const { return !m_regular && !m_isMemory; }
    bool IsRegularFile() const { return m_regular; }
    // True once a wait for data ended through the limits' cancel descriptor.
    bool Canceled() const { return m_canceled; }
    // Why reading stopped early: a read error or a time limit, with the name.
    const std::string& Error() const { return m_error; }
    // The message for a read that failed for `reason`, naming the input.
    std::string CannotRead(const std::string& reason) const;

    // A stdio stream over the rest of the input, for libpcap's stream
    // reader. Closing the stream leaves the source open.
    std::FILE* OpenStream();

private:
    bool WaitForData();
    void Fail(const std::string& reason);

    int m_fd = -1;
    bool m_ownsFd = false;
    bool m_regular = false;
    bool m_positional = false;  // reads with pread at m_position
    uint64_t m_position = 0;    // file offset of the next byte read() gives
    std::span<const uint8_t> m_memory;
    bool m_isMemory = false;
    uint8_t m_unread[24] = {};
    size_t m_unreadBegin = 0;
    size_t m_unreadEnd = 0;
    ReadLimits m_limits;
    std::chrono::steady_clock::time_point m_start;
    bool m_gotData = false;
    bool m_canceled = false;
    std::string m_name;
    std::string m_error;
};

}  // namespace kestrel
