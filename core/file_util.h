// Saving files so that a failed save never costs the file it would replace.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace kestrel {

// A new file written beside the one it replaces: a temporary file in the
// same folder, renamed over the target only once everything was written and
// synced. The old file is never written in place: where no temporary file
// can be made beside it (no free inode, a folder the user may not write),
// or the target is not a regular file (a FIFO or a device, which could
// block or cannot be replaced), Open refuses with a message and the old
// file stays as it was. A file is replaced only where its user may write it
// (as writing it in place would need), and keeps its owner, group and mode;
// where they cannot be kept the save is refused. Saving through a symbolic
// link (even one naming a file not made yet) writes the file it names and
// keeps the link.
class ReplacingFile {
public:
    ReplacingFile() = default;
    // Removes the temporary file unless Commit succeeded.
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    bool Open(const std::string& path, std::string& error);
    // The stream to write the new content to (null before Open).
    std::FILE* Stream() const { return m_out; }
    // Flushes, syncs and renames over the target. False with a message when
    // any write failed; the old file is then kept.
    bool Commit(std::string& error);
    // Gives up: the temporary file goes, the old file stays.
    void Abandon();

    // "ﾌｧｲﾙを保存できません (<path>): <reason>" plus, when a file is
    // being replaced, that it was kept.
    std::string SaveError(const std::string& reason) const;

private:
    std::string m_target;  // the file replaced (links resolved)
    std::string m_shown;   // the path as the caller gave it, for messages
    std::string m_temp;
    std::FILE* m_out = nullptr;
    bool m_replacing = false;  // an old file exists
};

// Writes a file through `write` into a ReplacingFile: true only when `write`
// returned true and everything reached the disk.
bool WriteReplacing(const std::string& path, std::string& error,
                    const std::function<bool(std::FILE*)>& write);

// "<what>: <strerror(errno)>"
std::string ErrnoText(const std::string& what);

}  // namespace kestrel
