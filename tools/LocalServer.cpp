// The loopback file server of orvter view: one thread per connection (a browser opens a few),
// persistent connections, and byte ranges read straight from files opened once at start. Every
// wait on a client has a deadline, and a full server makes room by dropping the connection that
// has done nothing for longest, so clients that stall cannot keep the others out.
#include "LocalServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Command.h"

namespace orvter {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxHeader = 16384;                  // bytes of a request head; more is refused
constexpr int kMaxConnections = 64;                   // open at once
constexpr int kMaxPerPeer = 32;                       // open at once from one client address
constexpr auto kHeadTime = std::chrono::seconds(5);   // for a whole head once it has begun
constexpr auto kIdleTime = std::chrono::seconds(30);  // a quiet persistent connection is closed
constexpr auto kSendTime = std::chrono::seconds(10);  // for a client to take one block (26 KB/s)
constexpr auto kStalled =
    std::chrono::seconds(1);               // a full server may drop a connection idle this long
constexpr size_t kSendBlock = 256 * 1024;  // bytes read from the file per send

std::mutex g_logMutex;

// The open connections, with when each last finished something (a request head taken whole, a
// block of an answer sent): what a full server drops to make room.
class Registry {
public:
    struct Slot {
        int fd;
        std::string peer;
        Clock::time_point moved;
        bool dropped;
    };
    using Handle = std::list<Slot>::iterator;

    // Takes a new connection in, dropping the stalest one of its peer (or of all, when the
    // server is full) when it has been still for kStalled. False: everyone is busy.
    bool admit(int fd, const std::string& peer, Handle& handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Clock::time_point now = Clock::now();
        int all = 0, mine = 0;
        Handle stalest = m_slots.end(), stalestMine = m_slots.end();
        for (Handle s = m_slots.begin(); s != m_slots.end(); ++s) {
            if (s->dropped) continue;
            ++all;
            if (stalest == m_slots.end() || s->moved < stalest->moved) stalest = s;
            if (s->peer != peer) continue;
            ++mine;
            if (stalestMine == m_slots.end() || s->moved < stalestMine->moved) stalestMine = s;
        }
        const Handle victim = mine >= kMaxPerPeer      ? stalestMine
                              : all >= kMaxConnections ? stalest
                                                       : m_slots.end();
        if (victim != m_slots.end()) {
            if (now - victim->moved < kStalled) return false;
            // Its thread wakes from its wait, finds the connection gone and leaves.
            victim->dropped = true;
            ::shutdown(victim->fd, SHUT_RDWR);
        }
        handle = m_slots.insert(m_slots.end(), Slot{fd, peer, now, false});
        return true;
    }
    void moved(Handle handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        handle->moved = Clock::now();
    }
    // Before the socket is closed, so that admit never shuts down a number reused since.
    void leave(Handle handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_slots.erase(handle);
    }

private:
    std::mutex m_mutex;
    std::list<Slot> m_slots;
};

Registry g_registry;

// Waits until `fd` is ready for `events`; false at the deadline.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
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
            size_t e = line.size();
            while (e > v && (line[e - 1] == ' ' || line[e - 1] == '\t')) --e;
            return line.substr(v, e - v);
        }
        at = end;
    }
    return "";
}

// Whether a Host value names this server as only a local client does: localhost, 127.0.0.1 or
// [::1], without a port or with `port`. A page from elsewhere that reaches the port through DNS
// rebinding sends its own name.
bool isLoopbackHost(const std::string& value, int port) {
    const std::string host = lower(value);
    const size_t colon = host.rfind(':');
    const bool hasPort = colon != std::string::npos && host.find(']', colon) == std::string::npos;
    const std::string name = hasPort ? host.substr(0, colon) : host;
    if (hasPort && host.substr(colon + 1) != std::to_string(port)) return false;
    return name == "localhost" || name == "127.0.0.1" || name == "[::1]";
}

// Every byte outside printable ASCII, and the backslash, as \xHH: a request cannot move the
// cursor or colour the terminal that shows the log.
std::string escapeForLog(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && u != '\\') {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        }
    }
    return out;
}

// A validator that changes when the served file changes in place: the page can tell its ranges
// came from one version of it.
std::string entityTag(const struct stat& st) {
    char tag[96];
    std::snprintf(
        tag, sizeof tag, "\"%llx-%llx-%llx.%lx\"", static_cast<unsigned long long>(st.st_ino),
        static_cast<unsigned long long>(st.st_size),
        static_cast<unsigned long long>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec));
    return tag;
}

struct Answer {
    int status;
    const char* reason;
};

class Connection {
public:
    Connection(int fd, Registry::Handle slot, int port,
               const std::map<std::string, LocalServer::Served>& resources,
               const std::function<void(const std::string&)>& log)
        : m_fd(fd), m_slot(slot), m_port(port), m_resources(resources), m_log(log) {}
    ~Connection() {
        g_registry.leave(m_slot);
        ::close(m_fd);
    }

    void serve() {
        std::string head;
        while (readHead(head) && answer(head)) {
            m_answered = true;
        }
    }

private:
    // Reads one request head (up to the blank line) into `head`; keeps what follows it. The
    // first request of a connection, and any other once its first byte is here, must arrive
    // whole within kHeadTime; between requests the connection may stay quiet for kIdleTime.
    bool readHead(std::string& head) {
        bool begun = !m_answered || !m_pending.empty();
        Clock::time_point deadline = Clock::now() + (begun ? kHeadTime : kIdleTime);
        for (;;) {
            const size_t end = m_pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                head = m_pending.substr(0, end + 2);
                m_pending.erase(0, end + 4);
                g_registry.moved(m_slot);
                return true;
            }
            if (m_pending.size() > kMaxHeader) {
                simple({431, "Request Header Fields Too Large"}, "", "");
                return false;
            }
            if (!waitFor(m_fd, POLLIN, deadline)) {
                if (!m_pending.empty()) simple({408, "Request Timeout"}, "", "");
                return false;
            }
            char buffer[4096];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (n <= 0) return false;
            if (!begun) begun = true, deadline = Clock::now() + kHeadTime;
            m_pending.append(buffer, static_cast<size_t>(n));
        }
    }

    // Sends all of `data` within kSendTime; false when the client did not take it.
    bool sendAll(const char* data, size_t size) {
        const Clock::time_point deadline = Clock::now() + kSendTime;
        while (size > 0) {
            const ssize_t n = ::send(m_fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!waitFor(m_fd, POLLOUT, deadline)) return false;
                continue;
            }
            if (n <= 0) return false;
            data += n, size -= static_cast<size_t>(n);
        }
        g_registry.moved(m_slot);
        return true;
    }

    void report(const std::string& method, const std::string& path, int status,
                const std::string& range) {
        if (!m_log) return;
        std::lock_guard<std::mutex> lock(g_logMutex);
        m_log(escapeForLog(method) + " " + escapeForLog(path) + " " + std::to_string(status) +
              (range.empty() ? "" : " " + escapeForLog(range)));
    }

    bool simple(Answer a, const std::string& method, const std::string& path) {
        const std::string body = std::to_string(a.status) + " " + a.reason + "\n";
        const std::string out =
            "HTTP/1.1 " + std::to_string(a.status) + " " + a.reason +
            "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + (method == "HEAD" ? "" : body);
        report(method, path, a.status, "");
        return sendAll(out.data(), out.size());
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
        const std::string host = headerValue(head, "host");
        if (host.empty() ? version != "HTTP/1.0" : !isLoopbackHost(host, m_port))
            return simple(host.empty() ? Answer{400, "Bad Request"}
                                       : Answer{421, "Misdirected Request"},
                          method, path),
                   false;
        if (method != "GET" && method != "HEAD")
            return simple({405, "Method Not Allowed"}, method, path) && keepAlive;
        const auto it = m_resources.find(path);
        if (it == m_resources.end()) return simple({404, "Not Found"}, method, path) && keepAlive;
        const int file = it->second.fd;
        struct stat st;
        if (::fstat(file, &st) != 0)
            return simple({500, "Internal Server Error"}, method, path) && keepAlive;
        const uint64_t length = static_cast<uint64_t>(st.st_size);
        const std::string tag = entityTag(st);
        if (headerValue(head, "if-none-match") == tag) {
            const std::string out = "HTTP/1.1 304 Not Modified\r\nETag: " + tag + "\r\n" +
                                    (keepAlive ? "" : "Connection: close\r\n") + "\r\n";
            report(method, path, 304, "");
            return sendAll(out.data(), out.size()) && keepAlive;
        }
        ByteRange range{0, length ? length - 1 : 0};
        const std::string rangeHeader = headerValue(head, "range");
        const std::string ifRange = headerValue(head, "if-range");
        // A range of another version of the file would mix two versions: the whole file instead.
        const RangeAnswer ra = !ifRange.empty() && ifRange != tag
                                   ? RangeAnswer::kWhole
                                   : parseRange(rangeHeader, length, range);
        std::string out;
        uint64_t count = length;
        if (ra == RangeAnswer::kUnsatisfiable) {
            out = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                  std::to_string(length) + "\r\nContent-Length: 0\r\n\r\n";
            report(method, path, 416, rangeHeader);
            return sendAll(out.data(), out.size()) && keepAlive;
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
               "\r\nContent-Length: " + std::to_string(count) + "\r\nETag: " + tag +
               "\r\nAccept-Ranges: bytes\r\nCache-Control: no-store\r\n" +
               (keepAlive ? "" : "Connection: close\r\n") + "\r\n";
        report(method, path, ra == RangeAnswer::kPart ? 206 : 200,
               ra == RangeAnswer::kPart
                   ? "bytes=" + std::to_string(range.first) + "-" + std::to_string(range.last)
                   : "");
        bool ok = sendAll(out.data(), out.size());
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
                    ok = sendAll(block.data(), static_cast<size_t>(n));
                at += static_cast<uint64_t>(n > 0 ? n : 0);
                count -= static_cast<uint64_t>(n > 0 ? n : 0);
            }
        }
        return ok && keepAlive;
    }

    int m_fd;
    Registry::Handle m_slot;
    int m_port;
    const std::map<std::string, LocalServer::Served>& m_resources;
    const std::function<void(const std::string&)>& m_log;
    std::string m_pending;
    bool m_answered = false;
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
    for (const auto& r : m_resources) ::close(r.second.fd);
}

void LocalServer::add(const std::string& urlPath, const Resource& resource) {
    const int fd = ::open(resource.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw CommandError("cannot read '" + resource.path + "': " + std::strerror(errno));
    const auto it = m_resources.find(urlPath);
    if (it != m_resources.end()) ::close(it->second.fd);
    m_resources[urlPath] = Served{fd, resource.contentType};
}

std::string LocalServer::pathOf(const std::string& urlPath) const {
    return "/proc/self/fd/" + std::to_string(m_resources.at(urlPath).fd);
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
    m_port = ntohs(address.sin_port);
    return m_port;
}

void LocalServer::run(const std::function<void(const std::string&)>& log) {
    for (;;) {
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const int client = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&from), &size, SOCK_CLOEXEC);
        if (client < 0) continue;  // a connection reset before it was taken, or EINTR
        char peer[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &from.sin_addr, peer, sizeof peer);
        Registry::Handle slot;
        if (!g_registry.admit(client, peer, slot)) {
            static const char kBusy[] =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: "
                "close\r\n\r\n";
            // A fresh socket's buffer takes these bytes whole; nothing waits on the client.
            (void)!::send(client, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(client);
            continue;
        }
        try {
            std::thread([client, slot, this, &log] {
                Connection(client, slot, m_port, m_resources, log).serve();
            }).detach();
        } catch (const std::system_error&) {  // no thread to be had: this client waits its turn
            g_registry.leave(slot);
            ::close(client);
        }
    }
}

}  // namespace orvter
