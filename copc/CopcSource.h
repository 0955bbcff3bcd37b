// Where a COPC reader's bytes come from: a file or an HTTP(S) server answering range requests,
// behind the codec's positional source, with the reads counted.
#pragma once

#include <atomic>
#include <cstdint>
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
// server: unreachable, refusing, or ignoring range requests).
std::unique_ptr<CountedSource> openSource(const std::string& pathOrUrl, std::string& error);

}  // namespace orv::copc
