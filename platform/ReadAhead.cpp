#include "platform/ReadAhead.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace orv::platform {

ReadAhead::ReadAhead(InputFile& file, uint64_t total, size_t blockBytes, AfterRead afterRead)
    : m_file(file),
      m_total(total),
      m_blockBytes(std::max<size_t>(blockBytes, 1)),
      m_afterRead(std::move(afterRead)) {
    // A file of a block or two gains nothing from a second thread.
    const bool threaded =
        total > 2 * uint64_t{m_blockBytes} && std::thread::hardware_concurrency() > 1;
    const size_t room = static_cast<size_t>(std::min<uint64_t>(total, m_blockBytes));
    for (unsigned i = 0; i < (threaded ? kDepth : 1); ++i)
        m_slots[i].bytes.reset(new uint8_t[room]);
    if (!threaded) return;
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had: the caller reads each block itself.
    }
}

ReadAhead::~ReadAhead() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_emptied.notify_one();
    m_thread.join();
}

bool ReadAhead::readInto(Slot& slot) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(m_total - m_offset, m_blockBytes));
    const size_t got = want ? m_file.read(slot.bytes.get(), want) : 0;
    const bool failed = m_file.readFailed();
    if (got > 0 && !failed && m_afterRead) m_afterRead(m_offset, got);
    m_offset += got;
    std::lock_guard<std::mutex> lock(m_mutex);
    slot.length = failed ? 0 : got;
    slot.full = slot.length > 0;
    m_failed = failed;
    const bool more = !failed && got == want && m_offset < m_total;
    m_done = !more;
    return more;
}

void ReadAhead::run() {
    for (uint64_t block = 0;; ++block) {
        Slot& slot = m_slots[block % kDepth];
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_emptied.wait(lock, [&] { return !slot.full || m_stop; });
            if (m_stop) return;
        }
        const bool more = readInto(slot);
        m_filled.notify_one();
        if (!more) return;
    }
}

const uint8_t* ReadAhead::next(size_t& bytes) {
    bytes = 0;
    if (!m_thread.joinable()) {
        // In the caller: one slot, read when asked for.
        Slot& slot = m_slots[0];
        if (m_done) return nullptr;
        readInto(slot);
        if (!slot.full) return nullptr;
        slot.full = false;
        bytes = slot.length;
        return slot.bytes.get();
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_holding) {
        m_slots[(m_taken - 1) % kDepth].full = false;
        m_holding = false;
        m_emptied.notify_one();
    }
    Slot& slot = m_slots[m_taken % kDepth];
    // The reading thread fills a slot before it says it is done, so a done reader with this
    // slot empty has nothing more.
    m_filled.wait(lock, [&] { return slot.full || m_done; });
    if (!slot.full) return nullptr;
    m_holding = true;
    ++m_taken;
    bytes = slot.length;
    return slot.bytes.get();
}

bool ReadAhead::failed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

}  // namespace orv::platform
