// A server's reply to one range request, any bytes: the first 12 give the range asked and the
// length known from an earlier reply; header lines follow up to an empty line, then the body,
// handed over in pieces. A reply taken as whole is exactly the range asked (or the file's end
// within it); a body never grows past the range; a redirect that is followed stays on http(s)
// and never steps down from https.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "copc/CopcReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 12) return 0;
    uint32_t offset32, count32, known32;
    std::memcpy(&offset32, data, 4);
    std::memcpy(&count32, data + 4, 4);
    std::memcpy(&known32, data + 8, 4);
    const uint64_t offset = offset32 % 100000;
    const uint64_t count = 1 + count32 % 70000;
    const uint64_t known = known32 & 1 ? 0 : known32 / 2;
    const char* text = reinterpret_cast<const char*>(data + 12);
    const std::string input(text, size - 12);

    std::vector<uint8_t> out;
    orv::copc::RangeReply reply(offset, count, out);
    size_t at = 0;
    while (at < input.size()) {
        const size_t end = input.find('\n', at);
        const size_t next = end == std::string::npos ? input.size() : end + 1;
        const std::string line = input.substr(at, next - at);
        at = next;
        if (line == "\n" || line == "\r\n") break;
        reply.header(line.data(), line.size());
    }
    bool stopped = false;
    for (size_t piece = 1; at < input.size() && !stopped; piece = piece * 2 + 1) {
        const size_t take = std::min(piece, input.size() - at);
        stopped = !reply.body(input.data() + at, take);
        at += take;
    }
    orvfuzz::require(out.size() <= count);
    orvfuzz::require(!stopped || reply.overflowed());
    std::string why;
    const orv::copc::ReplyVerdict verdict = reply.check(known, why);
    orvfuzz::require((verdict == orv::copc::ReplyVerdict::whole) == why.empty());
    if (verdict == orv::copc::ReplyVerdict::whole) {
        const uint64_t total = reply.total() ? reply.total() : known;
        orvfuzz::require(total > 0 && total <= orv::copc::kMaxRemoteBytes);
        orvfuzz::require(out.size() == count || offset + out.size() == total);
        orvfuzz::require(known == 0 || total == known);
    }

    const std::string origin = "https://example.org:8443/a/cloud.copc.laz";
    for (const std::string& current : {origin, std::string("http://example.org/b/c.laz")}) {
        std::string next, reason;
        bool otherHost = false;
        if (!orv::copc::followRedirect(origin, current, reply.location(), next, otherHost, reason))
            continue;
        const bool secure = next.rfind("https://", 0) == 0;
        orvfuzz::require(secure || next.rfind("http://", 0) == 0);
        orvfuzz::require(secure || current.rfind("https://", 0) != 0);
    }
    return 0;
}
