// What a server's reply to one range request must be before its bytes are used, and where a
// redirect may lead: kept apart from the transfer so that any reply can be tried on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orv::copc {

// The most bytes a server may say its file holds: a larger total is a lie, not a file.
constexpr uint64_t kMaxRemoteBytes = uint64_t{1} << 50;
// The most bytes of a body other than a range's (a redirect's or an error's page) read before
// the transfer is ended.
constexpr uint64_t kMaxIgnoredBody = 65536;
// Redirects followed for one request: a loop ends here.
constexpr int kMaxRedirects = 5;

enum class ReplyVerdict {
    whole,  // the asked range (or the file's end within it), exactly
    cut,    // a correct start, fewer bytes than said: worth asking again
    wrong,  // not the range asked for, or a length that cannot be
};

// One reply to a request for `count` bytes at `offset`, as its header lines and body arrive.
// The body grows `out` (cleared first) by what arrives, never past `count` bytes.
class RangeReply {
public:
    RangeReply(uint64_t offset, uint64_t count, std::vector<uint8_t>& out);
    // One header line, the status line included; a new status line (after a 100 Continue)
    // starts the reply over.
    void header(const char* data, size_t size);
    // Body bytes; false, and nothing kept, once more than `count` have come (or, in a reply that
    // is not 206, more than kMaxIgnoredBody, which are never kept).
    bool body(const char* data, size_t size);

    int status() const { return m_status; }
    bool overflowed() const { return m_overflow; }
    const std::string& location() const { return m_location; }
    // The total the Content-Range gave; 0 when it gave none or "*".
    uint64_t total() const { return m_total; }
    // Checks a finished 206 reply: a Content-Range of digits that starts where asked, ends inside
    // the request (short only at the file's end), states a sane total (the same as
    // `knownTotal` when that is not 0), and a body as long as that range.
    ReplyVerdict check(uint64_t knownTotal, std::string& why) const;

private:
    uint64_t m_offset, m_count;
    std::vector<uint8_t>& m_out;
    int m_status = 0;
    bool m_overflow = false;
    bool m_hasRange = false, m_rangeValid = false;
    uint64_t m_first = 0, m_last = 0, m_total = 0, m_ignored = 0;
    std::string m_location;
};

// Where a redirect from `current` to `location` (absolute or relative) leads: false with `why`
// unless it is http:// or https:// and does not go from https:// down to http://. `next` gets the
// absolute URL; `otherHost` is set when its host or port differ from `origin`'s.
bool followRedirect(const std::string& origin, const std::string& current,
                    const std::string& location, std::string& next, bool& otherHost,
                    std::string& why);

}  // namespace orv::copc
