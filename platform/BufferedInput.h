// Sequential reading of a file through one buffer of fixed size: a system call per buffer, not
// per record, and memory that does not grow with the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Files.h"

namespace orv::platform {

class BufferedInput {
public:
    // 2 MiB: large enough that system calls vanish from the profile, small beside any block.
    static constexpr size_t kCapacity = size_t{2} << 20;
    // A small file gets a buffer of its own size, but never below this: one whole record of
    // any length a 16-bit field can state must fit.
    static constexpr size_t kMinCapacity = size_t{64} << 10;

    BufferedInput() = default;
    BufferedInput(const BufferedInput&) = delete;
    BufferedInput& operator=(const BufferedInput&) = delete;

    // Opens an existing file for reading; false when it cannot be opened.
    bool open(const char* path);
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    // The file beneath, for a reader that reads it directly first; seek before taking bytes
    // through the buffer again.
    InputFile& file() { return m_file; }
    // Length of the file when it was opened.
    uint64_t size() const { return m_size; }
    // Bytes between the read position and the end of the file (as long as it does not grow).
    uint64_t remaining() const { return m_size > position() ? m_size - position() : 0; }
    uint64_t position() const { return m_bufferStart + static_cast<uint64_t>(m_pos - m_data); }
    // Moves the read position to `offset` from the start; false on failure.
    bool seek(uint64_t offset);
    // Copies up to `count` bytes; fewer only at the end of the file or on an error.
    size_t read(void* out, size_t count);

    // The next `count` (at most kMinCapacity) bytes, valid until the next call, or null when fewer
    // remain: those few are consumed, so a cut last record never comes back as data.
    const uint8_t* take(size_t count) {
        if (static_cast<size_t>(m_end - m_pos) >= count) {
            const uint8_t* at = m_pos;
            m_pos += count;
            return at;
        }
        if (!refill(count)) return nullptr;
        const uint8_t* at = m_pos;
        m_pos += count;
        return at;
    }

    // As many whole units of `unit` bytes (at most kMinCapacity) as the buffer holds, at least
    // one and at most `maxUnits`: `got` receives their number. Null, with the tail consumed,
    // when not one whole unit remains. Lets a reader loop over records with no call per record.
    const uint8_t* takeUnits(size_t unit, size_t maxUnits, size_t& got) {
        if (static_cast<size_t>(m_end - m_pos) < unit && !refill(unit)) return nullptr;
        const size_t have = static_cast<size_t>(m_end - m_pos) / unit;
        got = have < maxUnits ? have : maxUnits;
        const uint8_t* at = m_pos;
        m_pos += got * unit;
        return at;
    }

private:
    // Makes at least `count` bytes available; false, with the tail consumed, when the file ends
    // (or fails) first.
    bool refill(size_t count);

    InputFile m_file;
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_capacity = 0;
    uint64_t m_size = 0;
    uint64_t m_bufferStart = 0;  // file offset of m_data[0]
    uint8_t* m_data = nullptr;
    const uint8_t* m_pos = nullptr;
    const uint8_t* m_end = nullptr;
};

}  // namespace orv::platform
