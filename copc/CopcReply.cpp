#include "copc/CopcReply.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace orv::copc {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits at `at` (1 to 19 of them, so that they fit) as a number; false on anything else.
bool number(const std::string& s, size_t& at, uint64_t& value) {
    const size_t begin = at;
    value = 0;
    while (at < s.size() && isDigit(s[at]) && at - begin < 19) value = value * 10 + (s[at++] - '0');
    return at > begin && (at == s.size() || !isDigit(s[at]));
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return s;
}

std::string trimmed(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    return s.substr(begin, s.find_last_not_of(" \t\r\n") + 1 - begin);
}

}  // namespace

RangeReply::RangeReply(uint64_t offset, uint64_t count, std::vector<uint8_t>& out)
    : m_offset(offset), m_count(count), m_out(out) {
    m_out.clear();
}

void RangeReply::header(const char* data, size_t size) {
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
        m_status = 0;
        m_overflow = m_hasRange = m_rangeValid = false;
        m_first = m_last = m_total = m_ignored = 0;
        m_location.clear();
        m_out.clear();
        const size_t space = line.find(' ');
        if (space != std::string::npos && line.size() >= space + 4 && isDigit(line[space + 1]) &&
            isDigit(line[space + 2]) && isDigit(line[space + 3]))
            m_status = std::stoi(line.substr(space + 1, 3));
        return;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return;
    const std::string name = lower(line.substr(0, colon));
    const std::string value = trimmed(line.substr(colon + 1));
    if (name == "location") {
        m_location = value;
    } else if (name == "content-range") {
        m_hasRange = true;
        m_rangeValid = false;
        if (lower(value).rfind("bytes ", 0) != 0) return;
        size_t at = value.find_first_not_of(' ', 6);
        if (at == std::string::npos || !number(value, at, m_first) || at >= value.size() ||
            value[at++] != '-' || !number(value, at, m_last) || at >= value.size() ||
            value[at++] != '/')
            return;
        if (value.substr(at) == "*") {
            m_total = 0;
        } else if (!number(value, at, m_total) || at != value.size()) {
            return;
        }
        m_rangeValid = true;
    }
}

bool RangeReply::body(const char* data, size_t size) {
    // Any other reply's body (a redirect's page, an error page, a whole file) is not wanted.
    if (m_status != 206) {
        m_ignored += size;
        m_overflow = m_ignored > kMaxIgnoredBody;
        return !m_overflow;
    }
    if (m_overflow || size > m_count - m_out.size()) {
        m_overflow = true;
        m_out.clear();
        return false;
    }
    // The buffer follows what has come, never the count the request named.
    if (m_out.capacity() < m_out.size() + size)
        m_out.reserve(static_cast<size_t>(std::min<uint64_t>(
            m_count, std::max<uint64_t>(2 * m_out.size(), m_out.size() + size))));
    m_out.insert(m_out.end(), data, data + size);
    return true;
}

ReplyVerdict RangeReply::check(uint64_t knownTotal, std::string& why) const {
    const auto range = [](uint64_t a, uint64_t b) {
        return std::to_string(a) + "-" + std::to_string(b);
    };
    const uint64_t askedLast = m_offset + m_count - 1;
    if (!m_hasRange) return why = "a reply without a Content-Range", ReplyVerdict::wrong;
    if (!m_rangeValid)
        return why = "a Content-Range that is not 'bytes FIRST-LAST/LENGTH'", ReplyVerdict::wrong;
    if (m_first != m_offset || m_last < m_first || m_last > askedLast)
        return why =
                   "bytes " + range(m_first, m_last) + " instead of " + range(m_offset, askedLast),
               ReplyVerdict::wrong;
    uint64_t total = m_total;
    if (total == 0 && knownTotal == 0)
        return why = "a Content-Range without the file's length", ReplyVerdict::wrong;
    if (total == 0) total = knownTotal;
    if (total > kMaxRemoteBytes || total <= m_last)
        return why = "a file length of " + std::to_string(total) + " bytes with bytes " +
                     range(m_first, m_last),
               ReplyVerdict::wrong;
    if (knownTotal != 0 && total != knownTotal)
        return why = "a file length of " + std::to_string(total) + " bytes, first " +
                     std::to_string(knownTotal) + " (the file changed)",
               ReplyVerdict::wrong;
    const uint64_t said = m_last - m_first + 1;
    if (m_out.size() > said)
        return why = std::to_string(m_out.size()) + " bytes for a range of " + std::to_string(said),
               ReplyVerdict::wrong;
    if (m_out.size() < said || (m_last < askedLast && m_last + 1 != total))
        return why = std::to_string(m_out.size()) + " of the bytes " + range(m_offset, askedLast),
               ReplyVerdict::cut;
    return ReplyVerdict::whole;
}

bool followRedirect(const std::string& origin, const std::string& current,
                    const std::string& location, std::string& next, bool& otherHost,
                    std::string& why) {
    using Url = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;
    const auto part = [](CURLU* u, CURLUPart which) {
        char* text = nullptr;
        std::string value;
        if (curl_url_get(u, which, &text, which == CURLUPART_PORT ? CURLU_DEFAULT_PORT : 0) ==
                CURLUE_OK &&
            text)
            value = text;
        curl_free(text);
        return lower(value);
    };
    Url from(curl_url(), curl_url_cleanup), to(curl_url(), curl_url_cleanup),
        start(curl_url(), curl_url_cleanup);
    if (!from || !to || !start) return why = "out of memory", false;
    if (location.empty()) return why = "a redirect without a Location", false;
    if (curl_url_set(from.get(), CURLUPART_URL, current.c_str(), 0) != CURLUE_OK ||
        curl_url_set(start.get(), CURLUPART_URL, origin.c_str(), 0) != CURLUE_OK ||
        curl_url_set(to.get(), CURLUPART_URL, current.c_str(), 0) != CURLUE_OK ||
        curl_url_set(to.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK)
        return why = "a redirect to '" + location + "', which is not a URL", false;
    const std::string scheme = part(to.get(), CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https")
        return why = "a redirect to '" + location + "': only http:// and https:// are followed",
               false;
    if (part(from.get(), CURLUPART_SCHEME) == "https" && scheme == "http")
        return why = "a redirect from https:// down to '" + location + "'", false;
    char* text = nullptr;
    if (curl_url_get(to.get(), CURLUPART_URL, &text, 0) != CURLUE_OK || !text)
        return why = "a redirect to '" + location + "', which is not a URL", false;
    next = text;
    curl_free(text);
    otherHost = part(to.get(), CURLUPART_HOST) != part(start.get(), CURLUPART_HOST) ||
                part(to.get(), CURLUPART_PORT) != part(start.get(), CURLUPART_PORT);
    return true;
}

}  // namespace orv::copc
