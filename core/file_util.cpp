#include "core/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

namespace kestrel {

namespace {

constexpr size_t kWriteBuffer = 1 << 18;

// The folder a file lives in, for its temporary sibling.
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// A short hidden name, so even a target whose name is as long as a name may
// be has a temporary sibling.
std::string TemporaryName(const std::string& folder) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::random_device random;
    uint32_t bits = random();
    std::string name = folder + "/.kestrel-";
    for (int i = 0; i < 8; ++i, bits >>= 4) name += kDigits[bits & 0xF];
    return name + ".tmp";
}

}  // namespace

std::string ErrnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

ReplacingFile::~ReplacingFile() {
    Abandon();
}

std::string ReplacingFile::SaveError(const std::string& reason) const {
    std::string text = "ﾌｧｲﾙを保存できません (" + m_shown + "): " + reason;
    if (m_replacing)
        text += " 元のﾌｧｲﾙはそのまま残っています。";
    return text;
}

bool ReplacingFile::Open(const std::string& path, std::string& error) {
    Abandon();
    m_shown = path;
    m_target = path;
    struct stat st {};
    m_replacing = ::stat(path.c_str(), &st) == 0;
    if (m_replacing) {
        if (!S_ISREG(st.st_mode)) {
            // A FIFO would block until some program reads it, a device
            // cannot be renamed over, and writing either in place is no save.
            m_replacing = false;
            error = SaveError("通常のﾌｧｲﾙではありません (ﾊﾟｲﾌﾟ、装置、ﾌｫﾙﾀﾞには保存できません)。");
            return false;
        }
        if (char* real = realpath(path.c_str(), nullptr)) {
            m_target = real;
            std::free(real);
        }
    }
    const std::string folder = FolderOf(m_target);
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        m_temp = TemporaryName(folder);
        // Mode 0666 so the umask applies as for any new file; a replaced
        // file's own mode and owner are copied below.
        fd = ::open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        m_temp.clear();
        error = SaveError(std::string("同じﾌｫﾙﾀﾞに一時ﾌｧｲﾙを作れません (") + std::strerror(errno) +
                          ")。");
        return false;
    }
    if (m_replacing) {
        fchmod(fd, st.st_mode & 07777);
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Only a privileged process may give a file away; the new file
            // then belongs to the user who saved it.
        }
    }
    m_out = fdopen(fd, "wb");
    if (!m_out) {
        error = SaveError(std::strerror(errno));
        ::close(fd);
        ::unlink(m_temp.c_str());
        m_temp.clear();
        return false;
    }
    std::setvbuf(m_out, nullptr, _IOFBF, kWriteBuffer);
    return true;
}

bool ReplacingFile::Commit(std::string& error) {
    if (!m_out) {
        error = SaveError(std::strerror(EBADF));
        return false;
    }
    errno = 0;
    bool ok = std::fflush(m_out) == 0 && !std::ferror(m_out) && fsync(fileno(m_out)) == 0;
    int saved = errno;
    if (std::fclose(m_out) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    m_out = nullptr;
    if (ok && std::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlink(m_temp.c_str());
        m_temp.clear();
        error = SaveError(std::strerror(saved ? saved : EIO));
        return false;
    }
    m_temp.clear();
    // The rename itself reaches the disk with the folder.
    const int folder = ::open(FolderOf(m_target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        ::close(folder);
    }
    return true;
}

void ReplacingFile::Abandon() {
    if (m_out) {
        std::fclose(m_out);
        m_out = nullptr;
    }
    if (!m_temp.empty()) {
        ::unlink(m_temp.c_str());
        m_temp.clear();
    }
}

bool WriteReplacing(const std::string& path, std::string& error,
                    const std::function<bool(std::FILE*)>& write) {
    ReplacingFile file;
    if (!file.Open(path, error)) {
        return false;
    }
    if (!write(file.Stream())) {
        error = file.SaveError(std::ferror(file.Stream()) ? std::strerror(errno ? errno : EIO)
                                                          : "書き込めませんでした。");
        return false;
    }
    return file.Commit(error);
}

}  // namespace kestrel
