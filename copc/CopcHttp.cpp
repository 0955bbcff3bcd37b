// The range reader over HTTP(S): the header and VLRs come with the first request, every other
// read is one range request, retried when the network or the server falters.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "copc/CopcSource.h"

namespace orv::copc {
namespace {

// Bytes asked for by the first request: the header and the VLRs of any ordinary file.
constexpr size_t kHeadBytes = 65536;
// Attempts at one range before giving up, and the first pause between them (doubling).
constexpr int kAttempts = 4;
constexpr int kFirstPauseMs = 50;
// Range requests a query keeps in flight.
constexpr unsigned kParallelRequests = 8;

struct Reply {
    long status = 0;
    uint64_t total = 0;  // from Content-Range; 0 when absent
    uint8_t* out = nullptr;
    size_t room = 0, got = 0;
    bool overflow = false;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    Reply& r = *static_cast<Reply*>(user);
    const size_t n = size * count;
    const size_t take = n < r.room - r.got ? n : r.room - r.got;
    std::memcpy(r.out + r.got, data, take);
    r.got += take;
    if (take < n) r.overflow = true;
    return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    Reply& r = *static_cast<Reply*>(user);
    const size_t n = size * count;
    const std::string line(data, n);
    static const char kName[] = "content-range:";
    if (line.size() > sizeof kName) {
        std::string lower = line.substr(0, sizeof kName - 1);
        for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        const size_t slash = line.find('/');
        if (lower == kName && slash != std::string::npos)
            r.total = std::strtoull(line.c_str() + slash + 1, nullptr, 10);
    }
    return n;
}

bool transient(CURLcode code, long status) {
    if (code == CURLE_OK)
        return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
    return code == CURLE_COULDNT_CONNECT || code == CURLE_OPERATION_TIMEDOUT ||
           code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR || code == CURLE_GOT_NOTHING ||
           code == CURLE_PARTIAL_FILE || code == CURLE_COULDNT_RESOLVE_HOST;
}

class HttpBytes final : public CountedSource {
public:
    ~HttpBytes() override {
        for (CURL* c : m_idle) curl_easy_cleanup(c);
    }

    bool open(const std::string& url, const std::string& caFile, std::string& error) {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        m_url = url;
        m_caFile = caFile;
        m_head.resize(kHeadBytes);
        Reply r;
        if (!fetch(0, kHeadBytes, m_head.data(), r, error)) return false;
        if (r.status == 200) {
            error = "the server of '" + url + "' ignores range requests";
            return false;
        }
        if (r.total == 0) {
            error = "the server of '" + url + "' does not say the file's length";
            return false;
        }
        m_head.resize(r.got);
        m_size = r.total;
        return true;
    }

    uint64_t size() const override { return m_size; }
    unsigned parallelism() const override { return kParallelRequests; }

    size_t readAt(uint64_t offset, void* buffer, size_t count) const override {
        if (offset >= m_size || count == 0) return 0;
        if (count > m_size - offset) count = static_cast<size_t>(m_size - offset);
        if (offset + count <= m_head.size()) {
            std::memcpy(buffer, m_head.data() + offset, count);
            return count;
        }
        Reply r;
        std::string error;
        if (!fetch(offset, count, static_cast<uint8_t*>(buffer), r, error) || r.status != 206)
            return 0;
        return r.got;
    }

private:
    CURL* take() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_idle.empty()) return curl_easy_init();
        CURL* c = m_idle.back();
        m_idle.pop_back();
        return c;
    }
    void give(CURL* c) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.push_back(c);
    }

    // One range, retried on transient failures. The reply's status is left for the caller.
    bool fetch(uint64_t offset, size_t count, uint8_t* out, Reply& r, std::string& error) const {
        CURL* c = take();
        if (!c) {
            error = "cannot start an HTTP request";
            return false;
        }
        const std::string range = std::to_string(offset) + "-" + std::to_string(offset + count - 1);
        CURLcode code = CURLE_OK;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            if (attempt > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(kFirstPauseMs << attempt));
            r = Reply();
            r.out = out;
            r.room = count;
            curl_easy_reset(c);
            curl_easy_setopt(c, CURLOPT_URL, m_url.c_str());
            curl_easy_setopt(c, CURLOPT_RANGE, range.c_str());
            curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
            curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
            curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
            curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
            curl_easy_setopt(c, CURLOPT_WRITEDATA, &r);
            curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
            curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
            if (!m_caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, m_caFile.c_str());
            code = curl_easy_perform(c);
            curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
            count_(r.got);
            // A range cut short by a dropped connection is asked for again; one that ends at
            // the end of the file is whole.
            const uint64_t whole =
                r.total > offset ? std::min<uint64_t>(count, r.total - offset) : count;
            const bool cut = code == CURLE_OK && r.status == 206 && r.got < whole;
            if (!transient(code, r.status) && !cut) break;
        }
        give(c);
        if (code != CURLE_OK) {
            error = "cannot read '" + m_url + "': " + curl_easy_strerror(code);
            return false;
        }
        if (r.status != 200 && r.status != 206) {
            error = "cannot read '" + m_url + "': HTTP status " + std::to_string(r.status);
            return false;
        }
        return true;
    }
    void count_(uint64_t bytes) const { count(bytes); }

    std::string m_url, m_caFile;
    uint64_t m_size = 0;
    std::vector<uint8_t> m_head;
    mutable std::mutex m_mutex;
    mutable std::vector<CURL*> m_idle;
};

}  // namespace

std::unique_ptr<CountedSource> openUrl(const std::string& url, const std::string& caFile,
                                       std::string& error) {
    auto source = std::make_unique<HttpBytes>();
    if (!source->open(url, caFile, error)) return nullptr;
    return source;
}

}  // namespace orv::copc
