// File access shared by the capture file readers and writers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

// The bytes of a whole file: mapped read-only when it is a regular file,
// otherwise (pipes, special files) read into memory.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool Open(const std::string& path, std::string& error);
    std::span<const uint8_t> Bytes() const;

private:
    void* m_map = nullptr;
    size_t m_mapSize = 0;
    std::vector<uint8_t> m_buffer;
};

// Writes a file through `write` into a temporary file beside `path`, then
// renames it over `path`; on any failure the old file stays untouched and
// `error` says why. Where no temporary file can be made beside it (a folder
// without write permission), writes `path` directly.
bool WriteReplacing(const std::string& path, std::string& error,
                    const std::function<bool(std::FILE*)>& write);

// "<what>: <strerror(errno)>"
std::string ErrnoText(const std::string& what);

}  // namespace kestrel
