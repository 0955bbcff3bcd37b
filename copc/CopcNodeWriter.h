// The node writer: a node's records compressed as one LAZ chunk on a fixed set of threads and
// written in the order they came, with what the written points add up to.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "OrvCopc.h"
#include "las/LasBytes.h"
#include "las/LasHeaderWrite.h"
#include "laz/LazCodec.h"
#include "platform/Files.h"

namespace orv::copc {

using las::load;

// What the points written so far add up to: the header's counts and bounds, and the span of
// their GPS times.
struct Tally {
    las::RecordTally records;
    double gpsMin = 0, gpsMax = 0;

    void add(const uint8_t* r, size_t n, size_t length) {
        for (size_t i = 0; i < n; ++i) {
            const double t = load<double>(r + i * length + kLasPointLayouts[6].gpsTime);
            if (records.count + i == 0 || t < gpsMin) gpsMin = t;
            if (records.count + i == 0 || t > gpsMax) gpsMax = t;
        }
        records.add(r, n, length, true);
    }
};

// A node's records on their way to the file, compressed on a fixed set of threads, written in
// the order they came. Few chunks wait at once: each holds its records, and each thread its
// coder's models while compressing.
class ChunkWriter {
public:
    ChunkWriter(platform::OutputFile& file, const laz::LazVlr& vlr, uint16_t length,
                uint64_t position, unsigned threads)
        : m_file(file), m_vlr(vlr), m_length(length), m_position(position), m_threads(threads) {
        try {
            for (unsigned t = 0; t < threads; ++t) m_workers.emplace_back([this] { work(); });
        } catch (...) {
            stop();
            throw;
        }
    }
    ~ChunkWriter() { stop(); }

    void add(const CopcNode& key, std::vector<uint8_t> records) {
        const uint64_t points = records.size() / m_length;
        m_tally.add(records.data(), points, m_length);
        auto job = std::make_shared<Job>();
        job->key = key;
        job->points = points;
        job->records = std::move(records);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_waiting.push_back(job);
        }
        m_wake.notify_one();
        m_ahead.push_back(std::move(job));
        while (m_ahead.size() > 2 * size_t{m_threads}) emitFront();
    }

    void finish() {
        while (!m_ahead.empty()) emitFront();
    }

    const std::vector<CopcNode>& nodes() const { return m_nodes; }
    const std::vector<std::pair<uint64_t, uint64_t>>& table() const { return m_table; }
    const Tally& tally() const { return m_tally; }
    uint64_t position() const { return m_position; }

private:
    struct Job {
        CopcNode key;
        uint64_t points = 0;
        std::vector<uint8_t> records, bytes;
        std::exception_ptr failure;
        bool done = false;
    };

    void stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread& t : m_workers) t.join();
    }

    void work() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stop || !m_waiting.empty(); });
                if (m_stop) return;
                job = std::move(m_waiting.front());
                m_waiting.pop_front();
            }
            try {
                job->bytes = laz::encodeChunk(m_vlr, m_length, job->records.data(), job->points);
            } catch (...) {
                job->failure = std::current_exception();
            }
            std::vector<uint8_t>().swap(job->records);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                job->done = true;
            }
            m_done.notify_all();
        }
    }

    void emitFront() {
        const std::shared_ptr<Job> job = std::move(m_ahead.front());
        m_ahead.pop_front();
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_done.wait(lock, [&job] { return job->done; });
        }
        if (job->failure) std::rethrow_exception(job->failure);
        const std::vector<uint8_t>& bytes = job->bytes;
        m_file.write(bytes.data(), bytes.size());
        CopcNode n = job->key;
        n.offset = m_position;
        n.byteSize = static_cast<int32_t>(bytes.size());
        n.pointCount = static_cast<int32_t>(job->points);
        m_nodes.push_back(n);
        m_table.emplace_back(job->points, bytes.size());
        m_position += bytes.size();
    }

    platform::OutputFile& m_file;
    const laz::LazVlr& m_vlr;
    uint16_t m_length;
    uint64_t m_position;
    unsigned m_threads;
    std::deque<std::shared_ptr<Job>> m_ahead;  // in the file's order
    std::mutex m_mutex;
    std::condition_variable m_wake, m_done;
    std::deque<std::shared_ptr<Job>> m_waiting;  // not yet taken by a thread
    bool m_stop = false;
    std::vector<std::thread> m_workers;
    std::vector<CopcNode> m_nodes;
    std::vector<std::pair<uint64_t, uint64_t>> m_table;
    Tally m_tally;
};

}  // namespace orv::copc
