// Sequential reading of a file in blocks on a thread of its own, a few blocks ahead of the caller.
// The kernel's copy out of the page cache then runs on one core while the caller decodes on the
// other; on a machine with one core, or when no thread can be started, blocks are read in the
// caller instead.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Files.h"

namespace orv::platform {

class ReadAhead {
public:
    // Run on the reading thread after each block is read, with the block's offset from the start
    // of the reading and its length: a place to prepare what the caller will fill from it.
    using AfterRead = std::function<void(uint64_t offset, size_t bytes)>;

    // Reads `total` bytes from the file's current position (fewer if it ends sooner) in blocks
    // of `blockBytes`. The file is the reader's alone until this object is gone.
    ReadAhead(InputFile& file, uint64_t total, size_t blockBytes, AfterRead afterRead);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next block in file order and its length; null once every byte was taken or the
    // reading stopped. A block stays valid until the next call.
    const uint8_t* next(size_t& bytes);
    // Whether the reading stopped on an error rather than at the end: asked once next() is null.
    bool failed() const;

private:
    static constexpr unsigned kDepth = 4;
    struct Slot {
        std::unique_ptr<uint8_t[]> bytes;
        size_t length = 0;
        bool full = false;
    };

    // Reads the next block into `slot`; false when it was the last.
    bool readInto(Slot& slot);
    void run();

    InputFile& m_file;
    const uint64_t m_total;
    const size_t m_blockBytes;
    const AfterRead m_afterRead;
    uint64_t m_offset = 0;  // bytes read so far; the reading thread's alone while it runs

    mutable std::mutex m_mutex;
    std::condition_variable m_filled;
    std::condition_variable m_emptied;
    Slot m_slots[kDepth];
    uint64_t m_taken = 0;    // blocks handed to the caller
    bool m_holding = false;  // the caller still holds the last block handed out
    bool m_done = false;     // nothing more will be filled
    bool m_stop = false;     // the caller is gone: the reading thread stops
    bool m_failed = false;
    std::thread m_thread;
};

}  // namespace orv::platform
