// The range reader over HTTP(S): the header and VLRs come with the first request, every other
// read is one range request, retried when the network or the server falters. Every transfer is
// bounded: in bytes (the range asked), in time (a deadline and a minimum rate) and in redirects.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "copc/CopcReply.h"
#include "copc/CopcSource.h"

namespace orv::copc {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes asked for by the first request: the header and the VLRs of any ordinary file.
constexpr size_t kHeadBytes = 65536;
// Attempts at one range before giving up, and the first pause between them (doubling).
constexpr int kAttempts = 4;
constexpr int kFirstPauseMs = 50;
// Range requests a query keeps in flight.
constexpr unsigned kParallelRequests = 8;
// The longest wait for a connection, within the request's deadline.
constexpr long kConnectMs = 30000;

size_t onBody(char* data, size_t size, size_t count, void* user) {
    return static_cast<RangeReply*>(user)->body(data, size * count) ? size * count : 0;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    static_cast<RangeReply*>(user)->header(data, size * count);
    return size * count;
}

// Called by the transfer now and then, even while nothing arrives: a cancel ends it.
int onProgress(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* flag = static_cast<const std::atomic<bool>*>(cancel);
    return flag && *flag ? 1 : 0;
}

bool transientCode(CURLcode code) {
    return code == CURLE_COULDNT_CONNECT || code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR ||
           code == CURLE_GOT_NOTHING || code == CURLE_PARTIAL_FILE ||
           code == CURLE_COULDNT_RESOLVE_HOST;
}

bool transientStatus(int status) {
    return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

CopcFailure statusFailure(int status) {
    if (status == 404 || status == 410) return CopcFailure::notFound;
    if (status == 401 || status == 403) return CopcFailure::denied;
    if (transientStatus(status)) return CopcFailure::connection;
    return CopcFailure::protocol;
}

class HttpBytes final : public CountedSource {
public:
    ~HttpBytes() override {
        for (CURL* c : m_idle) curl_easy_cleanup(c);
    }

    bool open(const std::string& url, const SourceOptions& options, SourceError& error) {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        m_origin = m_url = url;
        m_options = options;
        uint64_t total = 0;
        if (!fetch(0, kHeadBytes, m_head, error, &total)) return false;
        m_size = total;
        return true;
    }

    uint64_t size() const override { return m_size; }
    unsigned parallelism() const override { return kParallelRequests; }
    std::string name() const override { return "'" + m_origin + "'"; }

    size_t readAt(uint64_t offset, void* buffer, size_t count) const override {
        if (offset >= m_size || count == 0) return 0;
        count = static_cast<size_t>(std::min<uint64_t>(count, m_size - offset));
        std::vector<uint8_t> bytes;
        SourceError error;
        if (!read(offset, count, bytes, error)) return 0;
        std::memcpy(buffer, bytes.data(), bytes.size());
        return bytes.size();
    }

    bool read(uint64_t offset, uint64_t count, std::vector<uint8_t>& out,
              SourceError& error) const override {
        if (count == 0) return out.clear(), true;
        if (offset > m_size || count > m_size - offset) {
            error.set(CopcFailure::damaged, "bytes " + std::to_string(offset) + "-" +
                                                std::to_string(offset + count - 1) + " of " +
                                                name() + " lie past its end (" +
                                                std::to_string(m_size) + " bytes)");
            return false;
        }
        if (offset + count <= m_head.size()) {
            out.assign(m_head.begin() + long(offset), m_head.begin() + long(offset + count));
            return true;
        }
        return fetch(offset, count, out, error, nullptr);
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
    bool cancelled() const { return m_options.cancel && *m_options.cancel; }

    // Waits before another attempt; false when cancelled or past the deadline meanwhile.
    bool pause(int attempt, Clock::time_point deadline) const {
        const auto until = Clock::now() + std::chrono::milliseconds(kFirstPauseMs << attempt);
        while (Clock::now() < until) {
            if (cancelled() || Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // One range, its redirects followed and its transient failures retried, into `out`. On the
    // first request (`total` given) the file's length is taken from the reply; later ones must
    // state the same.
    bool fetch(uint64_t offset, uint64_t count, std::vector<uint8_t>& out, SourceError& error,
               uint64_t* total) const {
        const std::string where = "bytes " + std::to_string(offset) + "-" +
                                  std::to_string(offset + count - 1) + " of '" + m_origin + "'";
        const auto fail = [&](CopcFailure kind, const std::string& why) {
            error.set(kind, "cannot read " + where + ": " + why);
            return false;
        };
        const auto start = Clock::now();
        const auto deadline =
            start + std::chrono::milliseconds(long(m_options.timeoutSeconds * 1000));
        CURL* c = take();
        if (!c) return fail(CopcFailure::connection, "cannot start an HTTP request");
        struct Give {
            const HttpBytes& self;
            CURL* c;
            ~Give() { self.give(c); }
        } give{*this, c};
        const std::string range = std::to_string(offset) + "-" + std::to_string(offset + count - 1);
        std::string url = m_url;
        int redirects = 0;
        for (int attempt = 0;;) {
            const long left =
                long(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                         .count());
            if (left <= 0)
                return fail(CopcFailure::timeout,
                            "no whole reply within " + secondsText(m_options.timeoutSeconds));
            RangeReply reply(offset, count, out);
            char message[CURL_ERROR_SIZE] = "";
            curl_easy_reset(c);
            curl_easy_setopt(c, CURLOPT_URL, url.c_str());
            curl_easy_setopt(c, CURLOPT_RANGE, range.c_str());
            curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
            curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
            curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, std::min(left, kConnectMs));
            curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, left);
            curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, long(m_options.minBytesPerSecond));
            curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, long(m_options.rateSeconds));
            curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
            curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply);
            curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
            curl_easy_setopt(c, CURLOPT_HEADERDATA, &reply);
            curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
            curl_easy_setopt(c, CURLOPT_XFERINFODATA, m_options.cancel);
            curl_easy_setopt(c, CURLOPT_ERRORBUFFER, message);
            if (!m_options.caFile.empty())
                curl_easy_setopt(c, CURLOPT_CAINFO, m_options.caFile.c_str());
            const CURLcode code = curl_easy_perform(c);
            CountedSource::count(out.size());
            const int status = reply.status();
            if (cancelled()) return fail(CopcFailure::cancelled, "cancelled");
            if (reply.overflowed()) {
                if (status == 200)
                    return fail(CopcFailure::protocol, "the server ignores range requests");
                if (status == 206)
                    return fail(CopcFailure::protocol, "the server sent more than the " +
                                                           std::to_string(count) + " bytes asked");
                return fail(statusFailure(status),
                            "HTTP status " + std::to_string(status) + " with a long body");
            }
            const std::string curlText = message[0] ? message : curl_easy_strerror(code);
            if (code == CURLE_OPERATION_TIMEDOUT) {
                const bool slow = Clock::now() < deadline - std::chrono::milliseconds(100);
                return fail(
                    CopcFailure::timeout,
                    slow ? "slower than " + std::to_string(m_options.minBytesPerSecond) +
                               " bytes a second for " + std::to_string(m_options.rateSeconds) +
                               " s (" + curlText + ")"
                         : "no whole reply within " + secondsText(m_options.timeoutSeconds));
            }
            bool retry = false;
            std::string why;
            if (code != CURLE_OK) {
                if (!transientCode(code)) return fail(CopcFailure::connection, curlText);
                retry = true, why = curlText;
            } else if (status >= 300 && status < 400 && !reply.location().empty()) {
                std::string next;
                bool otherHost = false;
                if (++redirects > kMaxRedirects)
                    return fail(CopcFailure::protocol,
                                "more than " + std::to_string(kMaxRedirects) + " redirects");
                if (!followRedirect(m_origin, url, reply.location(), next, otherHost, why))
                    return fail(CopcFailure::protocol, why);
                if (otherHost) warn("'" + m_origin + "' redirects to another host: '" + next + "'");
                url = next;
                continue;
            } else if (status == 200) {
                return fail(CopcFailure::protocol, "the server ignores range requests");
            } else if (status != 206) {
                if (!transientStatus(status))
                    return fail(statusFailure(status), "HTTP status " + std::to_string(status));
                retry = true, why = "HTTP status " + std::to_string(status);
            } else {
                const ReplyVerdict verdict = reply.check(total ? 0 : m_size, why);
                if (verdict == ReplyVerdict::wrong)
                    return fail(CopcFailure::protocol, "the server sent " + why);
                if (verdict == ReplyVerdict::whole) {
                    if (total) *total = reply.total(), m_url = url;
                    return true;
                }
                retry = true;  // a range cut short by a dropped connection is asked for again
            }
            if (!retry || ++attempt >= kAttempts)
                return fail(
                    status >= 400 ? statusFailure(status) : CopcFailure::connection,
                    why + (retry ? " (after " + std::to_string(kAttempts) + " attempts)" : ""));
            if (!pause(attempt, deadline))
                return cancelled()
                           ? fail(CopcFailure::cancelled, "cancelled")
                           : fail(CopcFailure::timeout,
                                  "no whole reply within " + secondsText(m_options.timeoutSeconds));
        }
    }

    std::string m_origin;       // the URL as given, which messages name
    mutable std::string m_url;  // where the first request ended after its redirects
    SourceOptions m_options;
    uint64_t m_size = 0;
    std::vector<uint8_t> m_head;
    mutable std::mutex m_mutex;
    mutable std::vector<CURL*> m_idle;
};

}  // namespace

std::unique_ptr<CountedSource> openUrl(const std::string& url, const SourceOptions& options,
                                       SourceError& error) {
    auto source = std::make_unique<HttpBytes>();
    if (!source->open(url, options, error)) return nullptr;
    return source;
}

}  // namespace orv::copc
