#include "core/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
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

// The file `path` names once its symbolic links are followed, whether that
// file exists or not: a link may name a file not made yet. A relative link
// is read from its own folder. False (errno set) for links that go round.
bool FollowLinks(const std::string& path, std::string& target) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = current;
            return true;
        }
        char link[PATH_MAX];
        const ssize_t n = ::readlink(current.c_str(), link, sizeof link);
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) == sizeof link) {
            errno = ENAMETOOLONG;
            return false;
        }
        const std::string next(link, static_cast<size_t>(n));
        current = next.empty() || next[0] == '/' ? next : FolderOf(current) + "/" + next;
    }
    errno = ELOOP;
    return false;
}

// Gives the new file `fd` the owner, group and mode of the file it
// replaces (`old`). False (errno set) where they cannot all be kept: only a
// privileged process may give a file away, and the set-group-ID bit stays
// only on a file of one of its user's groups.
bool KeepOwnerAndMode(int fd, const struct stat& old) {
    struct stat now {};
    if (fstat(fd, &now) != 0)
        return false;
    // The owner first: a change of owner clears the set-user-ID and
    // set-group-ID bits.
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        fchown(fd, old.st_uid, old.st_gid) != 0) {
        return false;
    }
    if (fchmod(fd, old.st_mode & 07777) != 0 || fstat(fd, &now) != 0)
        return false;
    if (now.st_uid != old.st_uid || now.st_gid != old.st_gid ||
        (now.st_mode & 07777) != (old.st_mode & 07777)) {
        errno = EPERM;
        return false;
    }
    return true;
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
    m_replacing = false;
    // Through a symbolic link (even one naming a file not there yet) the
    // file it names is saved and the link stays.
    if (!FollowLinks(path, m_target)) {
        error = SaveError(std::strerror(errno));
        return false;
    }
    struct stat st {};
    m_replacing = ::stat(m_target.c_str(), &st) == 0;
    if (m_replacing) {
        if (!S_ISREG(st.st_mode)) {
            // A FIFO would block until some program reads it, a device
            // cannot be renamed over, and writing either in place is no save.
            m_replacing = false;
            error = SaveError("通常のﾌｧｲﾙではありません (ﾊﾟｲﾌﾟ、装置、ﾌｫﾙﾀﾞには保存できません)。");
            return false;
        }
        // Renaming over a file needs only its folder's permission: a save
        // does nothing its user could not do by writing the file itself.
        if (faccessat(AT_FDCWD, m_target.c_str(), W_OK, AT_EACCESS) != 0) {
            error = SaveError(std::strerror(errno));
            return false;
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
    if (m_replacing && !KeepOwnerAndMode(fd, st)) {
        error = SaveError(std::string("元のﾌｧｲﾙの所有者とｱｸｾｽ権を保てません (") +
                          std::strerror(errno) + ")。");
        ::close(fd);
        ::unlink(m_temp.c_str());
        m_temp.clear();
        return false;
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
