#include "core/file_util.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

namespace kestrel {

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

MappedFile::~MappedFile() {
    if (m_map) {
        munmap(m_map, m_mapSize);
    }
}

bool MappedFile::Open(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = ErrnoText("ﾌｧｲﾙを開けません (" + path + ")");
        return false;
    }
    struct stat st{};
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
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            m_map = map;
            m_mapSize = static_cast<size_t>(st.st_size);
            ::close(fd);
            return true;
        }
    }
    // Not mappable: read what the file gives until its end.
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = ErrnoText("ﾌｧｲﾙを読み込めません (" + path + ")");
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        m_buffer.insert(m_buffer.end(), chunk, chunk + n);
    }
    ::close(fd);
    return true;
}

std::span<const uint8_t> MappedFile::Bytes() const {
    if (m_map) {
        return {static_cast<const uint8_t*>(m_map), m_mapSize};
    }
    return {m_buffer.data(), m_buffer.size()};
}

namespace {

bool WriteDirectly(const std::string& path, std::string& error,
                   const std::function<bool(std::FILE*)>& write) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        error = ErrnoText("ﾌｧｲﾙを保存できません (" + path + ")");
        return false;
    }
    const bool written = write(out);
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        error = ErrnoText("ﾌｧｲﾙを保存できません (" + path + ")");
        return false;
    }
    return true;
}

}  // namespace

bool WriteReplacing(const std::string& requested, std::string& error,
                    const std::function<bool(std::FILE*)>& write) {
    // Replace the file a link points to, not the link; anything that is not a
    // regular file (a device, a pipe) is written in place, never renamed over.
    std::string path = requested;
    struct stat st{};
    const bool exists = ::stat(requested.c_str(), &st) == 0;
    if (exists) {
        if (!S_ISREG(st.st_mode)) {
            return WriteDirectly(requested, error, write);
        }
        if (char* real = realpath(requested.c_str(), nullptr)) {
            path = real;
            std::free(real);
        }
    }
    // The temporary file is created with mode 0666 so the umask applies as it
    // does for any new file; an existing file's own mode is copied over.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt) + "-" +
               std::to_string(std::random_device{}() & 0xFFFFFF);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        return WriteDirectly(path, error, write);
    }
    if (exists) {
        fchmod(fd, st.st_mode & 07777);
    }
    std::FILE* out = fdopen(fd, "wb");
    if (!out) {
        error = ErrnoText("ﾌｧｲﾙを保存できません (" + path + ")");
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    bool ok = write(out);
    ok = ok && std::fflush(out) == 0 && fsync(fileno(out)) == 0;
    int savedErrno = errno;
    ok = (std::fclose(out) == 0) && ok;
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        errno = savedErrno ? savedErrno : EIO;
        error = ErrnoText("ﾌｧｲﾙを保存できません (" + path + ")");
        return false;
    }
    return true;
}

}  // namespace kestrel
