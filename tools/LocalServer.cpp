// The loopback file server of orvter view: one thread per connection (a browser opens a few),
// persistent connections, and byte ranges read straight from the file.
#include "LocalServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"

namespace orvter {
namespace {

constexpr size_t kMaxHeader = 16384;       // bytes of a request head; more is refused
constexpr int kMaxConnections = 64;        // open at once; more are answered 503
constexpr int kIdleSeconds = 30;           // a quiet persistent connection is closed after this
constexpr size_t kSendBlock = 256 * 1024;  // bytes read from the file per send

std::atomic<int> g_connections{0};
std::mutex g_logMutex;

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n, size -= static_cast<size_t>(n);
    }
    return true;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

// The value of header `name` (lower case) in a request head, or "".
std::string headerValue(const std::string& head, const std::string& name) {
    size_t at = head.find("\r\n");
    while (at != std::string::npos && at + 2 < head.size()) {
        const size_t end = head.find("\r\n", at + 2);
        const std::string line = head.substr(at + 2, end - at - 2);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && lower(line.substr(0, colon)) == name) {
            size_t v = colon + 1;
            while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) ++v;
            return line.substr(v);
        }
        at = end;
    }
    return "";
}

struct Answer {
    int status;
    const char* reason;
};

class Connection {
public:
    Connection(int fd, const std::map<std::string, LocalServer::Resource>& resources,
               const std::function<void(const std::string&)>& log)
        : m_fd(fd), m_resources(resources), m_log(log) {}
    ~Connection() { ::close(m_fd); }

    void serve() {
        timeval idle{kIdleSeconds, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
        std::string head;
        while (readHead(head) && answer(head)) {
        }
    }

private:
    // Reads one request head (up to the blank line) into `head`; keeps what follows it.
    bool readHead(std::string& head) {
        for (;;) {
            const size_t end = m_pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                head = m_pending.substr(0, end + 2);
                m_pending.erase(0, end + 4);
                return true;
            }
            if (m_pending.size() > kMaxHeader) {
                simple({431, "Request Header Fields Too Large"}, "", "");
                return false;
            }
            char buffer[4096];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            m_pending.append(buffer, static_cast<size_t>(n));
        }
    }

    void report(const std::string& method, const std::string& path, int status,
                const std::string& range) {
        if (!m_log) return;
        std::lock_guard<std::mutex> lock(g_logMutex);
        m_log(method + " " + path + " " + std::to_string(status) +
              (range.empty() ? "" : " " + range));
    }

    bool simple(Answer a, const std::string& method, const std::string& path) {
        const std::string body = std::to_string(a.status) + " " + a.reason + "\n";
        const std::string out =
            "HTTP/1.1 " + std::to_string(a.status) + " " + a.reason +
            "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + (method == "HEAD" ? "" : body);
        report(method, path, a.status, "");
        return sendAll(m_fd, out.data(), out.size());
    }

    // Answers one request; false when the connection is to close.
    bool answer(const std::string& head) {
        const size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
        const size_t eol = head.find("\r\n");
        if (sp1 == std::string::npos || sp2 == std::string::npos || sp2 > eol)
            return simple({400, "Bad Request"}, "", ""), false;
        const std::string method = head.substr(0, sp1);
        std::string path = head.substr(sp1 + 1, sp2 - sp1 - 1);
        const std::string version = head.substr(sp2 + 1, eol - sp2 - 1);
        path = path.substr(0, path.find_first_of("?#"));
        bool keepAlive = version == "HTTP/1.1" && lower(headerValue(head, "connection")) != "close";
        // A body is never expected; one announced cannot be skipped safely, so the connection ends.
        if (!headerValue(head, "content-length").empty() ||
            !headerValue(head, "transfer-encoding").empty())
            keepAlive = false;
        if (method != "GET" && method != "HEAD")
            return simple({405, "Method Not Allowed"}, method, path) && keepAlive;
        const auto it = m_resources.find(path);
        if (it == m_resources.end()) return simple({404, "Not Found"}, method, path) && keepAlive;
        const int file = ::open(it->second.path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (file < 0 || ::fstat(file, &st) != 0) {
            if (file >= 0) ::close(file);
            return simple({500, "Internal Server Error"}, method, path) && keepAlive;
        }
        const uint64_t length = static_cast<uint64_t>(st.st_size);
        ByteRange range{0, length ? length - 1 : 0};
        const std::string rangeHeader = headerValue(head, "range");
        const RangeAnswer ra = parseRange(rangeHeader, length, range);
        std::string out;
        uint64_t count = length;
        if (ra == RangeAnswer::kUnsatisfiable) {
            ::close(file);
            out = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                  std::to_string(length) + "\r\nContent-Length: 0\r\n\r\n";
            report(method, path, 416, rangeHeader);
            return sendAll(m_fd, out.data(), out.size()) && keepAlive;
        }
        if (ra == RangeAnswer::kPart) {
            count = range.last - range.first + 1;
            out = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                  std::to_string(range.first) + "-" + std::to_string(range.last) + "/" +
                  std::to_string(length) + "\r\n";
        } else {
            out = "HTTP/1.1 200 OK\r\n";
        }
        out += "Content-Type: " + it->second.contentType +
               "\r\nContent-Length: " + std::to_string(count) +
               "\r\nAccept-Ranges: bytes\r\nCache-Control: no-store\r\n" +
               (keepAlive ? "" : "Connection: close\r\n") + "\r\n";
        report(method, path, ra == RangeAnswer::kPart ? 206 : 200,
               ra == RangeAnswer::kPart
                   ? "bytes=" + std::to_string(range.first) + "-" + std::to_string(range.last)
                   : "");
        bool ok = sendAll(m_fd, out.data(), out.size());
        if (method == "GET") {
            std::vector<char> block(std::min<uint64_t>(kSendBlock, count ? count : 1));
            uint64_t at = ra == RangeAnswer::kPart ? range.first : 0;
            while (ok && count > 0) {
                const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), count));
                const ssize_t n = ::pread(file, block.data(), want, static_cast<off_t>(at));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0)
                    ok = false;  // the file shrank: the length sent is now wrong
                else
                    ok = sendAll(m_fd, block.data(), static_cast<size_t>(n));
                at += static_cast<uint64_t>(n > 0 ? n : 0);
                count -= static_cast<uint64_t>(n > 0 ? n : 0);
            }
        }
        ::close(file);
        return ok && keepAlive;
    }

    int m_fd;
    const std::map<std::string, LocalServer::Resource>& m_resources;
    const std::function<void(const std::string&)>& m_log;
    std::string m_pending;
};

bool digitsOnly(const std::string& s) {
    if (s.empty() || s.size() > 19) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

RangeAnswer parseRange(const std::string& value, uint64_t length, ByteRange& range) {
    const std::string prefix = "bytes=";
    if (value.compare(0, prefix.size(), prefix) != 0) return RangeAnswer::kWhole;
    const std::string wanted = value.substr(prefix.size());
    const size_t dash = wanted.find('-');
    if (dash == std::string::npos || wanted.find(',') != std::string::npos)
        return RangeAnswer::kWhole;
    const std::string a = wanted.substr(0, dash), b = wanted.substr(dash + 1);
    if (a.empty()) {  // the last N bytes
        if (!digitsOnly(b)) return RangeAnswer::kWhole;
        const uint64_t n = std::stoull(b);
        if (n == 0 || length == 0) return RangeAnswer::kUnsatisfiable;
        range.first = n >= length ? 0 : length - n;
        range.last = length - 1;
        return RangeAnswer::kPart;
    }
    if (!digitsOnly(a) || (!b.empty() && !digitsOnly(b))) return RangeAnswer::kWhole;
    const uint64_t first = std::stoull(a);
    uint64_t last = b.empty() ? UINT64_MAX : std::stoull(b);
    if (last < first) return RangeAnswer::kWhole;
    if (first >= length) return RangeAnswer::kUnsatisfiable;
    range.first = first;
    range.last = std::min(last, length - 1);
    return RangeAnswer::kPart;
}

LocalServer::~LocalServer() {
    if (m_fd >= 0) ::close(m_fd);
}

void LocalServer::add(const std::string& urlPath, const Resource& resource) {
    m_resources[urlPath] = resource;
}

int LocalServer::listen(int port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) throw CommandError(std::string("cannot open a socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_fd, 64) != 0)
        throw CommandError("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                           std::strerror(errno));
    socklen_t size = sizeof address;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

void LocalServer::run(const std::function<void(const std::string&)>& log) {
    for (;;) {
        const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;  // a connection reset before it was taken, or EINTR
        if (g_connections.fetch_add(1) >= kMaxConnections) {
            static const char kBusy[] =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: "
                "close\r\n\r\n";
            sendAll(client, kBusy, sizeof kBusy - 1);
            ::close(client);
            --g_connections;
            continue;
        }
        std::thread([client, this, &log] {
            Connection(client, m_resources, log).serve();
            --g_connections;
        }).detach();
    }
}

}  // namespace orvter
