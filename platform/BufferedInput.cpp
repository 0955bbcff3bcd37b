#include "platform/BufferedInput.h"

#include <algorithm>
#include <cstring>

namespace orv::platform {

bool BufferedInput::open(const char* path) {
    close();
    if (!m_file.open(path)) return false;
    m_size = m_file.size();
    const size_t capacity = static_cast<size_t>(
        std::min<uint64_t>(std::max<uint64_t>(m_size, kMinCapacity), kCapacity));
    if (capacity != m_capacity) {
        m_buffer.reset(new uint8_t[capacity]);
        m_capacity = capacity;
    }
    m_data = m_buffer.get();
    m_pos = m_end = m_data;
    m_bufferStart = 0;
    return true;
}

void BufferedInput::close() {
    m_file.close();
    m_size = 0;
    m_bufferStart = 0;
    m_pos = m_end = m_data;
}

bool BufferedInput::seek(uint64_t offset) {
    if (!m_file.seek(offset)) return false;
    m_bufferStart = offset;
    m_pos = m_end = m_data;
    return true;
}

size_t BufferedInput::read(void* out, size_t count) {
    auto* to = static_cast<uint8_t*>(out);
    size_t done = 0;
    while (done < count) {
        if (m_pos == m_end && !refill(1)) break;
        const size_t n = std::min(count - done, static_cast<size_t>(m_end - m_pos));
        std::memcpy(to + done, m_pos, n);
        m_pos += n;
        done += n;
    }
    return done;
}

bool BufferedInput::refill(size_t count) {
    if (!m_file.isOpen() || count > m_capacity) return false;
    // Keep the bytes not yet taken, then fill the rest of the buffer behind them.
    const size_t kept = static_cast<size_t>(m_end - m_pos);
    if (kept > 0 && m_pos != m_data) std::memmove(m_data, m_pos, kept);
    m_bufferStart = position();
    m_pos = m_data;
    m_end = m_data + kept;
    m_end += m_file.read(m_data + kept, m_capacity - kept);
    if (static_cast<size_t>(m_end - m_pos) < count) {
        m_pos = m_end;  // a short tail is consumed: it is not data
        return false;
    }
    return true;
}

}  // namespace orv::platform
