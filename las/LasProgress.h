// Progress told block by block to a caller's callback, with the end told exactly once.
#pragma once

#include <cstdint>
#include <utility>

#include "OrvProgress.h"

namespace orv::las {

class ProgressReport {
public:
    void set(ProgressCallback callback) { m_callback = std::move(callback); }
    // A new task of `total` units: the end may be told again.
    void start(uint64_t total) {
        m_total = total;
        m_ended = false;
        m_last = 0;
    }
    void setTotal(uint64_t total) { m_total = total; }
    // After a block: only a step forward short of the total is told, so that 100 % comes once.
    void block(uint64_t done) {
        if (!m_callback || m_ended || done >= m_total || done <= m_last) return;
        m_last = done;
        m_callback(done, m_total);
    }
    // The work ended with `done` units, whatever the total said.
    void end(uint64_t done) {
        if (!m_callback || m_ended) return;
        m_ended = true;
        m_callback(done, done);
    }

private:
    ProgressCallback m_callback;
    uint64_t m_total = 0;
    uint64_t m_last = 0;
    bool m_ended = false;
};

}  // namespace orv::las
