#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace orvtest {

ScriptedServer::ScriptedServer(Script script, int maxRequests, double maxSeconds)
    : m_script(std::move(script)),
      m_maxRequests(maxRequests),
      m_deadline(std::chrono::steady_clock::now() +
                 std::chrono::milliseconds(long(maxSeconds * 1000))) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(m_listen, 16) != 0 ||
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&at), &size) != 0)
        return;
    m_port = ntohs(at.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    m_stop = true;
    if (m_acceptor.joinable()) m_acceptor.join();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (int s : m_sockets) ::shutdown(s, SHUT_RDWR);
    }
    for (std::thread& t : m_threads) t.join();
    if (m_listen >= 0) ::close(m_listen);
}

std::string ScriptedServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

bool ScriptedServer::stopping() const {
    return m_stop || std::chrono::steady_clock::now() >= m_deadline;
}

void ScriptedServer::acceptLoop() {
    while (!stopping()) {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int s = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0) continue;
        std::lock_guard<std::mutex> hold(m_lock);
        m_sockets.push_back(s);
        m_threads.emplace_back([this, s] { serve(s); });
    }
}

// Requests on one connection, one after another, until the client or the server stops.
void ScriptedServer::serve(int socket) {
    std::string pending;
    while (!stopping()) {
        const size_t end = pending.find("\r\n\r\n");
        if (end == std::string::npos) {
            pollfd p{socket, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buffer[4096];
            const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
            if (got <= 0 || pending.size() > 65536) break;
            pending.append(buffer, size_t(got));
            continue;
        }
        const std::string head = pending.substr(0, end);
        pending.erase(0, end + 4);
        if (++m_requests > m_maxRequests) break;
        Request r;
        r.number = m_requests;
        const size_t range = head.find("Range: bytes=");
        if (range != std::string::npos) {
            char* after = nullptr;
            r.first = std::strtoull(head.c_str() + range + 13, &after, 10);
            r.last = std::strtoull(after + 1, nullptr, 10);
        }
        Reply reply(*this, socket);
        m_script(r, reply);
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_sockets.erase(std::find(m_sockets.begin(), m_sockets.end(), socket));
    ::close(socket);
}

bool ScriptedServer::Reply::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (m_server.stopping()) return false;
        pollfd p{m_socket, POLLOUT, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t put =
            ::send(m_socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (put <= 0) return false;
        done += size_t(put);
        m_server.m_sent += uint64_t(put);
    }
    return true;
}

void ScriptedServer::Reply::hangUp() {
    ::shutdown(m_socket, SHUT_RDWR);
}

bool ScriptedServer::Reply::wait(double seconds) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
    while (std::chrono::steady_clock::now() < until) {
        if (m_server.stopping()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string ScriptedServer::rangeReply(const std::vector<uint8_t>& file, const Request& r,
                                       uint64_t total) {
    const uint64_t size = file.size();
    if (r.first >= size) return "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n";
    const uint64_t last = std::min(r.last, size - 1);
    return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(r.first) + "-" +
           std::to_string(last) + "/" + std::to_string(total ? total : size) +
           "\r\nContent-Length: " + std::to_string(last + 1 - r.first) + "\r\n\r\n" +
           std::string(file.begin() + long(r.first), file.begin() + long(last + 1));
}

}  // namespace orvtest
