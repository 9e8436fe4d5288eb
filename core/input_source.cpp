#include "core/input_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/file_util.h"

namespace kestrel {

namespace {

// stdio buffer of the stream handed to libpcap: few system calls per packet.
constexpr size_t kStreamBuffer = 1 << 18;

std::string Seconds(int ms) {
    return std::to_string((ms + 999) / 1000);
}

}  // namespace

InputSource::~InputSource() {
    if (m_ownsFd && m_fd >= 0) {
        ::close(m_fd);
    }
}

bool InputSource::Open(const std::string& path, const ReadLimits& limits, std::string& error) {
    m_name = path;
    // O_NONBLOCK only for the open itself: a FIFO without a writer would
    // otherwise block here with no way to give up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = ErrnoText("ﾌｧｲﾙを開けません (" + path + ")");
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error = ErrnoText("ﾌｧｲﾙを開けません (" + path + ")");
        ::close(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "ﾌｧｲﾙを開けません (" + path + "): ﾌｫﾙﾀﾞです。";
        ::close(fd);
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    m_fd = fd;
    m_ownsFd = true;
    m_regular = S_ISREG(st.st_mode);
    m_limits = limits;
    m_start = std::chrono::steady_clock::now();
    return true;
}

void InputSource::OpenStandardInput(const ReadLimits& limits) {
    OpenDescriptor(STDIN_FILENO, "-", limits);
}

void InputSource::OpenDescriptor(int fd, const std::string& name, const ReadLimits& limits) {
    m_name.assign(name);  // (operator= here trips a false -Wrestrict at -O3)
    m_fd = fd;
    m_ownsFd = false;
    struct stat st {};
    m_regular = fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode);
    if (m_regular) {
        // A file handed over part-read is read on from where it stands.
        const off_t at = lseek(m_fd, 0, SEEK_CUR);
        m_position = at > 0 ? static_cast<uint64_t>(at) : 0;
    }
    m_limits = limits;
    m_start = std::chrono::steady_clock::now();
}

void InputSource::OpenMemory(std::span<const uint8_t> bytes) {
    m_name = "(memory)";
    m_memory = bytes;
    m_isMemory = true;
}

bool InputSource::OpenAgain(const InputSource& other, uint64_t offset) {
    if (!other.m_regular || other.m_fd < 0) {
        return false;
    }
    m_error.clear();
    m_unreadBegin = m_unreadEnd = 0;
    if (!m_positional || m_fd < 0) {
        m_fd = fcntl(other.m_fd, F_DUPFD_CLOEXEC, 0);
        if (m_fd < 0) {
            return false;
        }
    }
    m_ownsFd = true;
    m_regular = true;
    m_positional = true;
    m_position = offset;
    m_name = other.m_name;
    return true;
}

bool InputSource::Seek(uint64_t offset) {
    if (Failed()) {
        return false;
    }
    if (!m_regular) {
        Fail(std::strerror(ESPIPE));
        return false;
    }
    if (!m_positional && lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        Fail(std::strerror(errno));
        return false;
    }
    m_position = offset;
    m_unreadBegin = m_unreadEnd = 0;
    return true;
}

uint64_t InputSource::FileSize() const {
    struct stat st {};
    if (!m_regular || fstat(m_fd, &st) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(st.st_size);
}

std::string InputSource::CannotRead(const std::string& reason) const {
    return "ﾌｧｲﾙを読み込めません (" + m_name + "): " + reason;
}

void InputSource::Fail(const std::string& reason) {
    if (m_error.empty()) {
        m_error = CannotRead(reason);
    }
}

// Waits until the descriptor has data or its writer is gone, within the
// limits, or until the cancel descriptor is readable. Regular files never
// wait.
bool InputSource::WaitForData() {
    if (m_regular) {
        return true;
    }
    if (m_canceled) {
        return false;
    }
    for (;;) {
        int timeout = -1;
        bool first = false;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - m_start)
                                 .count();
        if (!m_gotData && m_limits.firstDataMs >= 0) {
            timeout = static_cast<int>(std::max<int64_t>(0, m_limits.firstDataMs - elapsed));
            first = true;
        }
        if (m_limits.totalMs >= 0) {
            const int rest = static_cast<int>(std::max<int64_t>(0, m_limits.totalMs - elapsed));
            if (timeout < 0 || rest < timeout) {
                timeout = rest;
                first = false;
            }
        }
        pollfd p[2] = {{m_fd, POLLIN, 0}, {m_limits.cancelFd, POLLIN, 0}};
        const int r = ::poll(p, m_limits.cancelFd >= 0 ? 2 : 1, timeout);
        if (r > 0 && m_limits.cancelFd >= 0 && p[1].revents) {
            m_canceled = true;
            return false;
        }
        if (r > 0) {
            return true;  // data, an end (POLLHUP) or an error: read() tells which
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            Fail(std::strerror(errno));
            return false;
        }
        if (first) {
            Fail(Seconds(m_limits.firstDataMs) + " 秒待ってもﾃﾞｰﾀが届きません。");
        } else {
            Fail(Seconds(m_limits.totalMs) + " 秒で読み込みを打ち切りました。");
        }
        errno = ETIMEDOUT;
        return false;
    }
}

size_t InputSource::Read(void* buffer, size_t size) {
    if (size == 0 || Failed()) {
        return 0;
    }
    if (m_unreadBegin < m_unreadEnd) {
        const size_t n = std::min(size, m_unreadEnd - m_unreadBegin);
        std::memcpy(buffer, m_unread + m_unreadBegin, n);
        m_unreadBegin += n;
        return n;
    }
    if (m_isMemory) {
        const size_t n = std::min(size, m_memory.size());
        if (n) {
            std::memcpy(buffer, m_memory.data(), n);
        }
        m_memory = m_memory.subspan(n);
        m_position += n;
        return n;
    }
    for (;;) {
        if (!WaitForData()) {
            return 0;
        }
        const ssize_t n = m_positional ? ::pread(m_fd, buffer, size, static_cast<off_t>(m_position))
                                       : ::read(m_fd, buffer, size);
        if (n > 0) {
            m_gotData = true;
            m_position += static_cast<uint64_t>(n);
            return static_cast<size_t>(n);
        }
        if (n == 0) {
            return 0;
        }
        if (errno == EINTR || errno == EAGAIN) {
            continue;  // EAGAIN: standard input left non-blocking by someone else
        }
        const int saved = errno;
        Fail(std::strerror(saved));
        errno = saved;
        return 0;
    }
}

size_t InputSource::ReadFull(void* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const size_t n = Read(static_cast<uint8_t*>(buffer) + done, size - done);
        if (n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

void InputSource::Unread(std::span<const uint8_t> bytes) {
    const size_t n = std::min(bytes.size(), sizeof m_unread);
    std::memcpy(m_unread, bytes.data(), n);
    m_unreadBegin = 0;
    m_unreadEnd = n;
}

std::FILE* InputSource::OpenStream() {
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* buffer, size_t size) -> ssize_t {
        auto* source = static_cast<InputSource*>(cookie);
        const size_t n = source->Read(buffer, size);
        if (n == 0 && source->Failed()) {
            if (errno == 0)
                errno = EIO;
            return -1;
        }
        return static_cast<ssize_t>(n);
    };
    io.close = [](void*) { return 0; };
    std::FILE* stream = fopencookie(this, "rb", io);
    if (stream) {
        std::setvbuf(stream, nullptr, _IOFBF, kStreamBuffer);
    }
    return stream;
}

}  // namespace kestrel
