// Where a COPC reader's bytes come from: a file or an HTTP(S) server answering range requests,
// behind the codec's positional source, with the reads counted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvCopc.h"
#include "laz/LazCodec.h"

namespace orv::copc {

// Why a read failed, and where: the text names the bytes and the file or URL.
struct SourceError {
    CopcFailure kind = CopcFailure::none;
    std::string text;
    void set(CopcFailure k, const std::string& t) { kind = k, text = t; }
};

// A positional source that also says what it cost.
class CountedSource : public laz::ByteSource {
public:
    uint64_t requests() const { return m_requests; }
    uint64_t bytes() const { return m_bytes; }
    // Reads that a fresh connection should make at once (1 for a local file).
    virtual unsigned parallelism() const { return 1; }
    // These bytes will be read soon: a file asks the system to fetch them ahead.
    virtual void prefetch(uint64_t /*offset*/, uint64_t /*count*/) const {}
    // `count` bytes at `offset` into `out` (replaced). Where size() is only what a server said,
    // `out` grows with the bytes that arrive instead of being sized from `count` first. False
    // with `error` when they do not all come.
    virtual bool read(uint64_t offset, uint64_t count, std::vector<uint8_t>& out,
                      SourceError& error) const;
    // What messages call the source.
    virtual std::string name() const { return "the file"; }
    // Texts of what the source met and let pass (a redirect to another host).
    std::vector<std::string> warnings() const {
        std::lock_guard<std::mutex> lock(m_noteLock);
        return m_warnings;
    }

protected:
    void count(uint64_t bytes) const {
        ++m_requests;
        m_bytes += bytes;
    }
    void warn(const std::string& text) const {
        std::lock_guard<std::mutex> lock(m_noteLock);
        for (const std::string& w : m_warnings)
            if (w == text) return;
        m_warnings.push_back(text);
    }

private:
    mutable std::atomic<uint64_t> m_requests{0}, m_bytes{0};
    mutable std::mutex m_noteLock;
    mutable std::vector<std::string> m_warnings;
};

// Bytes in memory as a source, for the hierarchy walk's own checks.
class MemoryBytes final : public CountedSource {
public:
    MemoryBytes(const uint8_t* data, size_t size) : m_data(data, size) {}
    uint64_t size() const override { return m_data.size(); }
    size_t readAt(uint64_t offset, void* buffer, size_t count) const override {
        return m_data.readAt(offset, buffer, count);
    }

private:
    laz::MemorySource m_data;
};

bool isUrl(const std::string& pathOrUrl);

// How a source reads: the certificates an https:// server is checked against instead of the
// system's (empty: the system's), the HTTP limits, and a flag that ends every transfer soon.
struct SourceOptions {
    std::string caFile;
    double timeoutSeconds = kCopcDefaultTimeoutSeconds;
    uint32_t minBytesPerSecond = kCopcDefaultMinBytesPerSecond;
    uint32_t rateSeconds = kCopcDefaultRateSeconds;
    const std::atomic<bool>* cancel = nullptr;
};

// Opens a path or an http:// or https:// URL; null with `error` when it cannot be read (for a
// server: unreachable, refusing, or ignoring range requests).
std::unique_ptr<CountedSource> openSource(const std::string& pathOrUrl,
                                          const SourceOptions& options, SourceError& error);

// Runs task(0) to task(count - 1) on up to `threads` threads, the caller's among them. An
// exception in any of them (memory running out) reaches the caller once all have stopped; the
// tasks not begun by then are skipped.
void forEachParallel(size_t count, unsigned threads, const std::function<void(size_t)>& task);

}  // namespace orv::copc
