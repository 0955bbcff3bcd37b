// An HTTP server on 127.0.0.1 whose every answer the test writes itself, byte by byte if it
// likes: honest ranges, lies, trickles, stalls, endless bodies, redirects. It answers at most
// `maxRequests` requests and stops after `maxSeconds`, or when destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvtest {

class ScriptedServer {
public:
    struct Request {
        int number = 0;                // 1 for the first request
        uint64_t first = 0, last = 0;  // of its "Range: bytes=first-last"
    };
    // What the script writes with: false once the client is gone or the server is stopping.
    class Reply {
    public:
        bool send(const std::string& bytes);
        // Waits, ending early when the server stops; false then.
        bool wait(double seconds);
        // Ends the connection now, as a server that breaks off does.
        void hangUp();

    private:
        friend class ScriptedServer;
        Reply(ScriptedServer& server, int socket) : m_server(server), m_socket(socket) {}
        ScriptedServer& m_server;
        int m_socket;
    };
    using Script = std::function<void(const Request&, Reply&)>;

    explicit ScriptedServer(Script script, int maxRequests = 100, double maxSeconds = 30);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::string url(const std::string& path = "/cloud.copc.laz") const;
    int port() const { return m_port; }
    int requests() const { return m_requests; }
    uint64_t bytesSent() const { return m_sent; }

    // The honest answer to `request` from `file`: 206 with its Content-Range (stating `total`
    // instead of the file's length when it is not 0).
    static std::string rangeReply(const std::vector<uint8_t>& file, const Request& request,
                                  uint64_t total = 0);

private:
    void acceptLoop();
    void serve(int socket);
    bool stopping() const;

    Script m_script;
    int m_maxRequests;
    std::chrono::steady_clock::time_point m_deadline;
    int m_listen = -1, m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_requests{0};
    std::atomic<uint64_t> m_sent{0};
    std::mutex m_lock;
    std::vector<std::thread> m_threads;
    std::vector<int> m_sockets;
    std::thread m_acceptor;
};

}  // namespace orvtest
