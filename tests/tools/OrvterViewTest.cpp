// orvter view's server as a browser meets it: byte ranges of the file, the page, refusals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

const std::string kCopc = std::string(ORV_TESTDATA_DIR) + "/laz/1.2-with-color.copc.laz";

// orvter view running on the sample, stopped by its process id when the object goes.
class Server {
public:
    explicit Server(const std::string& file) {
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string exe = ORVTER_PATH, view = "view";
        std::vector<char*> argv = {exe.data(), view.data(), const_cast<char*>(file.c_str()),
                                   nullptr};
        if (posix_spawn(&m_pid, exe.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
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

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

// Sends `request` on a new connection and returns everything the server answers until it closes.
std::string talk(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
        char buffer[65536];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, n);
    }
    close(fd);
    return answer;
}

std::string get(int port, const std::string& path, const std::string& headers = "") {
    return talk(port,
                "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + headers + "\r\n");
}

TEST(OrvterView, ServesByteRangesOfTheFileAndThePage) {
    Server server(kCopc);
    ASSERT_GT(server.port(), 0);
    const std::vector<uint8_t> bytes = orvtest::readFile(kCopc);
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
        const std::string answer = get(server.port(), "/cloud.copc.laz",
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
    const std::string two = talk(server.port(),
                                 "GET /cloud.copc.laz HTTP/1.1\r\nRange: bytes=0-3\r\n\r\n"
                                 "HEAD /index.html HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(two.rfind("HTTP/1.1 206", 0), 0u);
    EXPECT_NE(two.find("LASFHTTP/1.1 200"), std::string::npos) << two;
    for (const char* path : {"/", "/app.js", "/laz-perf.wasm"})
        EXPECT_EQ(get(server.port(), path).substr(9, 3), "200") << path;
    EXPECT_EQ(get(server.port(), "/../etc/passwd").substr(9, 3), "404");
    EXPECT_EQ(talk(server.port(), "POST / HTTP/1.1\r\nConnection: close\r\n\r\n").substr(9, 3),
              "405");
    EXPECT_EQ(talk(server.port(), "GET / HTTP/1.1\r\n" + std::string(20000, 'x')).substr(9, 3),
              "431");
}

TEST(OrvterView, RefusesWhatIsNotCopc) {
    const std::string data = ORV_TESTDATA_DIR;
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

}  // namespace
