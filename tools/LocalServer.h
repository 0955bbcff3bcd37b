// A small HTTP/1.1 file server on the loopback address: GET and HEAD of a fixed set of files,
// with single byte ranges, for orvter view.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace orvter {

class LocalServer {
public:
    struct Resource {
        std::string path;         // the file served
        std::string contentType;  // its media type
    };

    LocalServer() = default;
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;
    ~LocalServer();

    // Serves `resource` at the URL path `urlPath` ("/" included). The file is opened here, once:
    // what its path names later (a re-pointed link, a replacement) is never served. Throws
    // CommandError when it cannot be opened.
    void add(const std::string& urlPath, const Resource& resource);
    // A path that opens the very file served at `urlPath` (through /proc), whatever its own
    // path names now.
    std::string pathOf(const std::string& urlPath) const;
    // Listens on 127.0.0.1:`port` (0: one the system chooses). Returns the port; throws
    // CommandError when it cannot listen.
    int listen(int port);
    // Answers requests until the process ends; each answer is reported to `log` when set, as
    // "METHOD PATH STATUS [RANGE]", with the client's bytes outside printable ASCII escaped.
    [[noreturn]] void run(const std::function<void(const std::string&)>& log);

    struct Served {
        int fd;                   // open from add() to the end
        std::string contentType;  // its media type
    };

private:
    int m_fd = -1;
    int m_port = 0;
    std::map<std::string, Served> m_resources;
};

// A byte range asked for by a Range header, resolved against a length: [first, last].
struct ByteRange {
    uint64_t first = 0, last = 0;
};
enum class RangeAnswer { kWhole, kPart, kUnsatisfiable };
// Reads a Range header value ("bytes=A-B", "bytes=A-", "bytes=-N") against `length`. A header
// that is not one single byte range is ignored (kWhole), as HTTP allows.
RangeAnswer parseRange(const std::string& value, uint64_t length, ByteRange& range);

}  // namespace orvter
