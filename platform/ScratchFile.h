// Scratch data that a long job spills to disk beside its output, gone when the job ends however
// it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv::platform {

// A file without a name in a folder (where the file system has none, one named and unlinked at
// once): a killed process leaves nothing behind. Failures throw orv::FileError.
class ScratchFile {
public:
    ScratchFile() = default;
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile() { close(); }

    void create(const std::string& folder);
    bool isOpen() const { return m_fd >= 0; }
    // Writes all `count` bytes at the end.
    void append(const void* data, size_t count);
    uint64_t size() const { return m_size; }
    // Reads exactly `count` bytes at `offset`.
    void readAt(uint64_t offset, void* buffer, size_t count) const;
    // Gives the room back; the file is gone.
    void close() noexcept;

private:
    int m_fd = -1;
    uint64_t m_size = 0;
    std::string m_folder;  // for messages
};

}  // namespace orv::platform
