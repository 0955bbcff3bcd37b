// orvter view's server as a browser meets it: byte ranges of the file, the page, refusals.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

std::string copcSample() {
    return orvtest::testDataDir() + "/laz/1.2-with-color.copc.laz";
}

// orvter view running on `file` (with `extra` arguments, its standard error into `errors` when
// given), stopped by its process id when the object goes.
class Server {
public:
    explicit Server(const std::string& file, std::vector<std::string> extra = {},
                    const std::string& errors = "") {
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (!errors.empty())
            posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> args = {ORVTER_PATH, "view", file};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        const size_t at = line.find("127.0.0.1:");
        if (at != std::string::npos) m_port = std::stoi(line.substr(at + 10));
    }
    ~Server() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    int port() const { return m_port; }
    // The Host header a browser sends for the printed address.
    std::string host() const { return "Host: 127.0.0.1:" + std::to_string(m_port) + "\r\n"; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A connection to the server on 127.0.0.1, closed when the object goes. A small receive buffer
// makes a client that does not read stall the server's sends sooner.
class Client {
public:
    explicit Client(int port, int receiveBuffer = 0) : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        if (receiveBuffer > 0)
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { close(m_fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool send(const std::string& bytes) {
        return m_connected && ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                  static_cast<ssize_t>(bytes.size());
    }
    // Whether the server has answered or closed within `seconds`.
    bool readable(double seconds) {
        pollfd p{m_fd, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(seconds * 1000)) > 0;
    }
    // What the server sends until it closes the connection, or `seconds` pass.
    std::string readAll(double seconds) {
        std::string answer;
        const Clock::time_point start = Clock::now();
        char buffer[65536];
        while (secondsSince(start) < seconds && readable(seconds - secondsSince(start))) {
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
        }
        return answer;
    }

private:
    int m_fd;
    bool m_connected = false;
};

// Sends `request` on a new connection and returns everything the server answers until it closes.
std::string talk(int port, const std::string& request) {
    Client client(port);
    return client.send(request) ? client.readAll(30) : "";
}

std::string get(const Server& server, const std::string& path, const std::string& headers = "",
                bool host = true) {
    return talk(server.port(), "GET " + path + " HTTP/1.1\r\n" + (host ? server.host() : "") +
                                   "Connection: close\r\n" + headers + "\r\n");
}

// The ETag header's value.
std::string tagOf(const std::string& answer) {
    const size_t at = answer.find("\r\nETag: ") + 8;
    return answer.substr(at, answer.find("\r\n", at) - at);
}

std::string bodyOf(const std::string& answer) {
    return answer.substr(answer.find("\r\n\r\n") + 4);
}

TEST(OrvterView, ServesByteRangesOfTheFileAndThePage) {
    Server server(copcSample());
    ASSERT_GT(server.port(), 0);
    const std::vector<uint8_t> bytes = orvtest::readFile(copcSample());
    const std::string file(bytes.begin(), bytes.end());
    const std::string size = std::to_string(file.size());
    struct Case {
        const char* range;
        const char* status;
        long first, last;  // the bytes expected, or -1 for none
    };
    const long end = static_cast<long>(file.size()) - 1;
    const Case cases[] = {
        {"bytes=0-3", "206", 0, 3},
        {"bytes=375-428", "206", 375, 428},
        {"bytes=-10", "206", end - 9, end},
        {"bytes=33000-", "206", 33000, end},
        {"bytes=33000-999999", "206", 33000, end},
        {"bytes=999999-", "416", -1, -1},
        {"bytes=5-2", "200", 0, end},      // not a range: the whole file
        {"bytes=0-1,4-5", "200", 0, end},  // several ranges are not served as such
        {"items=0-3", "200", 0, end},
        {"", "200", 0, end},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range);
        const std::string answer = get(server, "/cloud.copc.laz",
                                       *c.range ? std::string("Range: ") + c.range + "\r\n" : "");
        ASSERT_EQ(answer.substr(9, 3), c.status) << answer.substr(0, 200);
        const std::string body = answer.substr(answer.find("\r\n\r\n") + 4);
        if (c.first < 0) {
            EXPECT_TRUE(body.empty());
            EXPECT_NE(answer.find("Content-Range: bytes */" + size), std::string::npos);
            continue;
        }
        EXPECT_EQ(body, file.substr(c.first, c.last - c.first + 1));
        if (std::string(c.status) == "206") {
            EXPECT_NE(answer.find("Content-Range: bytes " + std::to_string(c.first) + "-" +
                                  std::to_string(c.last) + "/" + size),
                      std::string::npos);
        }
    }
    // Two requests on one connection, and the page's files.
    const std::string two =
        talk(server.port(), "GET /cloud.copc.laz HTTP/1.1\r\nRange: bytes=0-3\r\n" + server.host() +
                                "\r\nHEAD /index.html HTTP/1.1\r\n" + server.host() +
                                "Connection: close\r\n\r\n");
    EXPECT_EQ(two.rfind("HTTP/1.1 206", 0), 0u);
    EXPECT_NE(two.find("LASFHTTP/1.1 200"), std::string::npos) << two;
    for (const char* path : {"/", "/app.js", "/laz-perf.wasm"})
        EXPECT_EQ(get(server, path).substr(9, 3), "200") << path;
    EXPECT_EQ(get(server, "/../etc/passwd").substr(9, 3), "404");
    EXPECT_EQ(
        talk(server.port(), "POST / HTTP/1.1\r\n" + server.host() + "Connection: close\r\n\r\n")
            .substr(9, 3),
        "405");
    EXPECT_EQ(talk(server.port(), "GET / HTTP/1.1\r\n" + std::string(20000, 'x')).substr(9, 3),
              "431");
}

TEST(OrvterView, RefusesWhatIsNotCopc) {
    const std::string data = orvtest::testDataDir();
    for (const char* file : {"/las/simple.las", "/laz/simple.laz", "/laz/test1_4.laz"}) {
        SCOPED_TRACE(file);
        const auto r =
            runCommand(shellQuote(ORVTER_PATH) + " view " + shellQuote(data + file) + " 2>&1");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("not a COPC file"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("las copc"), std::string::npos) << r.out;
    }
    const auto r = runCommand(shellQuote(ORVTER_PATH) + " view " +
                              shellQuote(data + "/las/README.md") + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not a LAS file"), std::string::npos) << r.out;
}

// Many requests for the file in one go (33 MB of answers), which a client that reads nothing
// leaves unsent.
std::string manyRequests(const Server& server) {
    std::string many;
    for (int i = 0; i < 1000; ++i)
        many += "GET /cloud.copc.laz HTTP/1.1\r\n" + server.host() + "\r\n";
    return many;
}

TEST(OrvterView, StalledClientsAreCutOffAndKeepNoOneOut) {
    Server server(copcSample());
    ASSERT_GT(server.port(), 0);
    // More connections than the server holds at once, stalled three ways: silent, half a head,
    // and many requests with nothing read.
    std::vector<std::unique_ptr<Client>> stalled;
    for (int i = 0; i < 90; ++i) {
        stalled.push_back(std::make_unique<Client>(server.port(), 4096));
        stalled.back()->send(i % 3 == 0   ? ""
                             : i % 3 == 1 ? "GET / HTTP/1.1\r\nHo"
                                          : manyRequests(server));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (int i = 0; i < 3; ++i) {
        const Clock::time_point asked = Clock::now();
        EXPECT_EQ(get(server, "/cloud.copc.laz", "Range: bytes=0-3\r\n").substr(0, 12),
                  "HTTP/1.1 206");
        EXPECT_LT(secondsSince(asked), 2.0);
    }
    // Each stall has its deadline: a head sent a byte at a time ends with 408, and answers that
    // are not taken end the connection.
    const Clock::time_point start = Clock::now();
    Client unread(server.port(), 4096), trickle(server.port());
    ASSERT_TRUE(unread.send(manyRequests(server)) && trickle.send("GET / HTTP/1.1\r\n"));
    while (trickle.send("X") && !trickle.readable(0.5) && secondsSince(start) < 12) {
    }
    EXPECT_LT(secondsSince(start), 8.0) << "the head was given too long";
    EXPECT_EQ(trickle.readAll(1).substr(0, 12), "HTTP/1.1 408");
    std::this_thread::sleep_for(std::chrono::seconds(12) - (Clock::now() - start));
    const size_t fileSize = orvtest::readFile(copcSample()).size();
    EXPECT_LT(unread.readAll(5).size(), 500 * fileSize) << "the answers waited for their reader";
}

TEST(OrvterView, ServesTheFileItOpenedAtStart) {
    orvtest::TempDir dir;
    const std::vector<uint8_t> cloud = orvtest::readFile(copcSample());
    const std::string original(cloud.begin(), cloud.end());
    orvtest::writeFile(dir.path("a.copc.laz"), cloud);
    orvtest::writeText(dir.path("secret"), "not for the page\n");
    ASSERT_EQ(symlink("a.copc.laz", dir.path("cloud.copc.laz").c_str()), 0);
    Server server(dir.path("cloud.copc.laz"));
    ASSERT_GT(server.port(), 0);
    const std::string first = get(server, "/cloud.copc.laz");
    EXPECT_EQ(bodyOf(first), original);
    const std::string tag = tagOf(first);
    ASSERT_EQ(tag[0], '"') << first.substr(0, 300);

    // The link re-pointed: still the file it named at start.
    ASSERT_EQ(unlink(dir.path("cloud.copc.laz").c_str()), 0);
    ASSERT_EQ(symlink("secret", dir.path("cloud.copc.laz").c_str()), 0);
    EXPECT_EQ(bodyOf(get(server, "/cloud.copc.laz")), original);

    // Changed in place: another tag, and a range asked of the old version gets the whole file.
    std::ofstream(dir.path("a.copc.laz"), std::ios::app) << '!';
    const std::string changed =
        get(server, "/cloud.copc.laz", "Range: bytes=0-3\r\nIf-Range: " + tag + "\r\n");
    EXPECT_EQ(changed.substr(0, 12), "HTTP/1.1 200");
    EXPECT_NE(tagOf(changed), tag);
    EXPECT_EQ(bodyOf(changed), original + "!");

    // Replaced by another file under the same name: still the one opened.
    ASSERT_EQ(rename(dir.path("secret").c_str(), dir.path("a.copc.laz").c_str()), 0);
    EXPECT_EQ(bodyOf(get(server, "/cloud.copc.laz")), original + "!");
}

TEST(OrvterView, AnswersOnlyLoopbackHostNamesAndLogsControlBytesEscaped) {
    orvtest::TempDir dir;
    const std::string log = dir.path("log");
    {
        Server server(copcSample(), {"--log"}, log);
        ASSERT_GT(server.port(), 0);
        const std::string port = std::to_string(server.port());
        const std::pair<std::string, const char*> cases[] = {
            {"Host: 127.0.0.1:" + port, "200"},
            {"Host: LocalHost", "200"},
            {"Host: [::1]:" + port, "200"},
            {"Host: localhost.evil.example:" + port, "421"},
            {"Host: 127.0.0.2", "421"},
            {"Host: localhost:1" + port, "421"},
            {"Accept: */*", "400"},
        };
        for (const auto& [header, status] : cases) {
            EXPECT_EQ(get(server, "/index.html", header + "\r\n", false).substr(9, 3), status)
                << header;
        }
        EXPECT_EQ(get(server, "/a\x1b[2Jb\x07\\").substr(9, 3), "404");
    }
    const std::string text = orvtest::readText(log);
    EXPECT_NE(text.find("GET /a\\x1b[2Jb\\x07\\x5c 404\n"), std::string::npos) << text;
    for (const char c : text) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << int(c);
}

}  // namespace
