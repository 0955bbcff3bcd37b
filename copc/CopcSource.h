// Where a COPC reader's bytes come from: a file or an HTTP(S) server answering range requests,
// behind the codec's positional source, with the reads counted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "laz/LazCodec.h"

namespace orv::copc {

// A positional source that also says what it cost.
class CountedSource : public laz::ByteSource {
public:
    uint64_t requests() const { return m_requests; }
    uint64_t bytes() const { return m_bytes; }
    // Reads that a fresh connection should make at once (1 for a local file).
    virtual unsigned parallelism() const { return 1; }
    // These bytes will be read soon: a file asks the system to fetch them ahead.
    virtual void prefetch(uint64_t /*offset*/, uint64_t /*count*/) const {}

protected:
    void count(uint64_t bytes) const {
        ++m_requests;
        m_bytes += bytes;
    }

private:
    mutable std::atomic<uint64_t> m_requests{0}, m_bytes{0};
};

bool isUrl(const std::string& pathOrUrl);

// Opens a path or an http:// or https:// URL; null with `error` when it cannot be read (for a
// server: unreachable, refusing, or ignoring range requests). `caFile` names the certificates
// an https:// server is checked against instead of the system's; empty: the system's.
std::unique_ptr<CountedSource> openSource(const std::string& pathOrUrl, const std::string& caFile,
                                          std::string& error);

// Runs task(0) to task(count - 1) on up to `threads` threads, the caller's among them.
void forEachParallel(size_t count, unsigned threads, const std::function<void(size_t)>& task);

}  // namespace orv::copc
