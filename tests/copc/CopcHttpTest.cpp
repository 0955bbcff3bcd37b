// The COPC reader against servers that lie, stall, trickle, never stop or redirect anywhere, and
// against files whose records lie: each ends in a clear error (or a warning) within its bounds,
// never in a hang, a crash or memory taken for bytes that never came.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "OrvCopc.h"
#include "OrvLasFile.h"
#include "copc/CopcFormat.h"
#include "las/LasBytes.h"
#include "support/ScriptedServer.h"
#include "support/TestSupport.h"

namespace {

using orvtest::ScriptedServer;
using orvtest::shellQuote;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class CopcHttp : public ::testing::Test {
protected:
    // A COPC file of 60,000 points in a 1 km tile, its bytes and its info VLR.
    void SetUp() override {
        const auto r = orvtest::runCommand(
            orvtest::orvterCommand("las gen --quiet --points 60000 " +
                                   shellQuote(dir.path("in.las"))) +
            " && " +
            orvtest::orvterCommand("las copc --quiet " + shellQuote(dir.path("in.las")) + " " +
                                   shellQuote(path)));
        ASSERT_EQ(r.status, 0) << r.out;
        bytes = orvtest::readFile(path);
        orv::CopcReader reader;
        ASSERT_EQ(reader.open(path), 0) << reader.error();
        info = reader.info();
    }
    // An honest server of `bytes`, but for what `lie` answers (true: answered).
    std::function<void(const ScriptedServer::Request&, ScriptedServer::Reply&)> honestBut(
        std::function<bool(const ScriptedServer::Request&, ScriptedServer::Reply&)> lie) {
        return [this, lie](const ScriptedServer::Request& r, ScriptedServer::Reply& reply) {
            if (!lie(r, reply)) reply.send(ScriptedServer::rangeReply(bytes, r));
        };
    }
    orv::CopcNode entry(size_t i) const {
        return orv::copc::decodeEntry(&bytes[info.rootPageOffset + i * 32]);
    }
    void put(size_t i, const orv::CopcNode& n) {
        orv::copc::encodeEntry(n, &bytes[info.rootPageOffset + i * 32]);
    }

    orvtest::TempDir dir;
    std::string path = dir.path("cloud.copc.laz");
    std::vector<uint8_t> bytes;
    orv::CopcInfo info;
};

// Replies that are not the range asked for are refused, naming the URL and the range.
TEST_F(CopcHttp, RefusesAReplyThatIsNotTheRangeAsked) {
    const struct {
        const char* name;
        std::string head;  // the reply's head to the first request (bytes 0-65535)
        const char* message;
    } cases[] = {
        {"negative total", "Content-Range: bytes 0-65535/-5", "not 'bytes FIRST-LAST/LENGTH'"},
        {"other start", "Content-Range: bytes 10-65545/9999999", "instead of 0-65535"},
        {"end past the request", "Content-Range: bytes 0-70000/9999999", "instead of 0-65535"},
        {"total inside the range", "Content-Range: bytes 0-65535/100", "file length of 100"},
        {"absurd total", "Content-Range: bytes 0-65535/9999999999999999999", "file length of"},
        {"no total", "Content-Range: bytes 0-65535/*", "without the file's length"},
        {"words", "Content-Range: bytes zero-65535/9999999", "not 'bytes FIRST-LAST/LENGTH'"},
        {"no range at all", "X-Nothing: 1", "without a Content-Range"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedServer server([&](const ScriptedServer::Request&, ScriptedServer::Reply& reply) {
            reply.send("HTTP/1.1 206 Partial Content\r\n" + k.head +
                       "\r\nContent-Length: 65536\r\n\r\n" +
                       std::string(bytes.begin(), bytes.begin() + 65536));
        });
        orv::CopcReader r;
        EXPECT_EQ(r.open(server.url()), -1);
        EXPECT_EQ(r.failure(), orv::CopcFailure::protocol);
        EXPECT_NE(r.error().find(k.message), std::string::npos) << r.error();
        EXPECT_NE(r.error().find("bytes 0-65535 of '" + server.url() + "'"), std::string::npos)
            << r.error();
    }
}

// A failure after the first request says which record, which bytes, which status.
TEST_F(CopcHttp, AFailureAfterTheFirstRequestNamesWhatFailed) {
    const struct {
        int failing;  // the request answered with the status
        int status;
        orv::CopcFailure failure;
        const char* what;
    } cases[] = {
        {2, 404, orv::CopcFailure::notFound, "the hierarchy page of node 0-0-0-0: cannot read"},
        {3, 403, orv::CopcFailure::denied, "the chunk of node"},
        {2, 503, orv::CopcFailure::connection, "HTTP status 503 (after 4 attempts)"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.status);
        ScriptedServer server(honestBut([&](const ScriptedServer::Request& r, auto& reply) {
            if (r.number < k.failing) return false;
            reply.send("HTTP/1.1 " + std::to_string(k.status) + " No\r\nContent-Length: 0\r\n\r\n");
            return true;
        }));
        orv::CopcReader r;
        ASSERT_EQ(r.open(server.url()), 0) << r.error();
        std::vector<uint8_t> records;
        EXPECT_EQ(r.read(orv::CopcQuery(), records), -1);
        EXPECT_EQ(r.failure(), k.failure) << r.error();
        for (const std::string& part :
             {std::string(k.what), "HTTP status " + std::to_string(k.status), server.url()})
            EXPECT_NE(r.error().find(part), std::string::npos) << r.error();
    }
}

// Transfers end within their bounds: bytes past the range, a trickle, a stall, a redirect loop.
TEST_F(CopcHttp, EveryTransferIsBoundedInBytesTimeAndRedirects) {
    const std::string head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-65535/" +
                             std::to_string(bytes.size()) + "\r\n\r\n";
    const std::string some(bytes.begin(), bytes.begin() + 4096);
    // The head, then `piece` bytes every `pause` seconds until the client or the server stops.
    const auto stream = [&](const std::string& start, size_t piece, double pause) {
        return [&some, start, piece, pause](ScriptedServer::Reply& reply) {
            if (reply.send(start))
                while (reply.send(some.substr(0, piece)) && reply.wait(pause)) {
                }
        };
    };
    const struct {
        const char* name;
        std::function<void(ScriptedServer::Reply&)> answer;
        orv::CopcFailure failure;
        const char* message;
    } cases[] = {
        {"endless body", stream(head, 4096, 0), orv::CopcFailure::protocol,
         "more than the 65536 bytes asked"},
        {"endless whole file", stream("HTTP/1.1 200 OK\r\n\r\n", 4096, 0),
         orv::CopcFailure::protocol, "ignores range requests"},
        {"trickle", stream(head, 4, 0.5), orv::CopcFailure::timeout,
         "slower than 1024 bytes a second for 1 s"},
        {"stall", stream("", 0, 60), orv::CopcFailure::timeout, "slower than"},
        {"steady but too long", stream(head, 2048, 0.25), orv::CopcFailure::timeout,
         "no whole reply within 2 s"},
        {"redirect loop",
         [&](ScriptedServer::Reply& reply) {
             reply.send(
                 "HTTP/1.1 302 Found\r\nLocation: /cloud.copc.laz\r\nContent-Length: 0\r\n\r\n");
         },
         orv::CopcFailure::protocol, "more than 5 redirects"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedServer server(
            [&](const ScriptedServer::Request&, ScriptedServer::Reply& reply) { k.answer(reply); },
            50, 20);
        orv::CopcOpenOptions o;
        o.timeoutSeconds = 2, o.rateSeconds = 1;
        orv::CopcReader r;
        const auto start = Clock::now();
        EXPECT_EQ(r.open(server.url(), o), -1);
        EXPECT_LT(secondsSince(start), 4.0);
        EXPECT_EQ(r.failure(), k.failure);
        EXPECT_NE(r.error().find(k.message), std::string::npos) << r.error();
        EXPECT_LT(server.bytesSent(), uint64_t{64} << 20);
        EXPECT_LE(server.requests(), 6);
    }
}

// Redirects lead only to http(s), never down from https, and a change of host is told.
TEST_F(CopcHttp, RedirectsGoOnlyWhereTheyMay) {
    ScriptedServer target(honestBut([](auto&, auto&) { return false; }));
    const std::string other =
        "http://localhost:" + std::to_string(target.port()) + "/cloud.copc.laz";
    const struct {
        std::string location;
        int result;
        const char* message;
    } cases[] = {
        {"ftp://127.0.0.1/cloud.copc.laz", -1, "only http:// and https://"},
        {"file:///etc/passwd", -1, "only http:// and https://"},
        {other, 0, "redirects to another host: 'http://localhost:"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.location);
        ScriptedServer server([&](const ScriptedServer::Request&, ScriptedServer::Reply& reply) {
            reply.send("HTTP/1.1 301 Moved\r\nLocation: " + k.location +
                       "\r\nContent-Length: 0\r\n\r\n");
        });
        orv::CopcReader r;
        ASSERT_EQ(r.open(server.url()), k.result) << r.error();
        const std::string said =
            k.result == 0 && !r.warnings().empty() ? r.warnings()[0].text : r.error();
        EXPECT_NE(said.find(k.message), std::string::npos) << said;
        if (k.result == 0) {
            EXPECT_EQ(r.warnings()[0].code, orv::CopcWarning::otherHost);
            std::vector<uint8_t> records;
            EXPECT_EQ(r.read(orv::CopcQuery(), records), 60000) << r.error();
            EXPECT_EQ(server.requests(), 1) << "later requests go where the first ended";
        }
    }
}

// A hierarchy stating huge chunks, served with a huge file length: nothing is sized from them,
// so a memory limit far below what they state is never reached.
TEST_F(CopcHttp, StatedSizesTakeNoMemoryBeforeTheirBytesCome) {
    const uint64_t lie = uint64_t{1} << 49;
    orv::las::store<uint64_t>(&bytes[235], 0);                  // no EVLRs: chunks may lie anywhere
    orv::las::store<uint64_t>(&bytes[247], uint64_t{1} << 28);  // points enough for the lies
    for (size_t i = 1; i <= 3; ++i) {
        orv::CopcNode n = entry(i);
        n.pointCount = 1 << 24;
        n.byteSize = int32_t(orv::copc::maxChunkBytes(uint64_t(n.pointCount), 30));
        n.offset = (uint64_t{1} << 40) * i;
        put(i, n);
    }
    ScriptedServer server([&](const ScriptedServer::Request& r, ScriptedServer::Reply& reply) {
        if (r.first < bytes.size()) {
            reply.send(ScriptedServer::rangeReply(bytes, r, lie));
            return;
        }
        // Past the real bytes: a reply that says it brings them all and breaks off.
        reply.send("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                   std::to_string(r.first) + "-" + std::to_string(r.last) + "/" +
                   std::to_string(lie) + "\r\nContent-Length: " +
                   std::to_string(r.last + 1 - r.first) + "\r\n\r\n" + std::string(1000, 'x'));
        reply.hangUp();
    });
    // Under the sanitizers the address space cannot be limited.
#if defined(__SANITIZE_ADDRESS__)
    const std::string limit;
#else
    const std::string limit = "ulimit -v 2000000; ";
#endif
    const auto r = orvtest::runCommand(
        limit + shellQuote(ORVTER_PATH) + " las copy " + shellQuote(server.url()) + " " +
        shellQuote(dir.path("out.las")) + " --bbox=-1e9,-1e9,1e9,1e9 2>&1");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("the chunk of node"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("of '" + server.url() + "'"), std::string::npos) << r.out;
}

// The info VLR against the header: an empty root page for points is refused; a cube that is not
// the points' is told and prunes nothing, so that every point inside a query still comes.
TEST_F(CopcHttp, AnInfoRecordThatDisagreesWithTheHeaderIsToldOrRefused) {
    const std::vector<uint8_t> good = bytes;
    orv::las::store<uint64_t>(&bytes[375 + 54 + 48], 0);  // the root page's size
    orvtest::writeFile(path, bytes);
    orv::CopcReader empty;
    EXPECT_EQ(empty.open(path), -2);
    EXPECT_NE(empty.error().find("root hierarchy page of 0 bytes for 60000 points"),
              std::string::npos)
        << empty.error();

    bytes = good;
    orv::las::store<double>(&bytes[375 + 54 + 24], 1e300);  // the cube's half size
    orvtest::writeFile(path, bytes);
    orv::CopcReader huge;
    ASSERT_EQ(huge.open(path), 0) << huge.error();
    ASSERT_EQ(huge.warnings().size(), 1u);
    EXPECT_EQ(huge.warnings()[0].code, orv::CopcWarning::cubeNotBounds);
    orv::CopcQuery q;
    q.min[0] = 512000, q.min[1] = 4180000, q.max[0] = 513000, q.max[1] = 4181000;
    std::vector<uint8_t> records;
    EXPECT_EQ(huge.read(q, records), 60000);

    const std::string copy = shellQuote(ORVTER_PATH) + " las copy " + shellQuote(path) + " " +
                             shellQuote(dir.path("box.las")) +
                             " --bbox 512000,4180000,513000,4181000";
    auto r = orvtest::runCommand(copy + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("warning: '" + path + "': the COPC cube"), std::string::npos) << r.out;
    r = orvtest::runCommand(copy + " --strict 2>&1");
    EXPECT_EQ(r.status, 3) << r.out;
}

// The points of a query come node by node, all of them; a caller that stops ends the read.
TEST_F(CopcHttp, AQueryHandsItsPointsOverNodeByNode) {
    orv::CopcReader r;
    ASSERT_EQ(r.open(path), 0);
    std::vector<uint8_t> whole, pieces;
    ASSERT_EQ(r.read(orv::CopcQuery(), whole), 60000);
    size_t calls = 0;
    const auto keep = [&](const uint8_t* records, size_t count) {
        pieces.insert(pieces.end(), records, records + count * 30);
        return ++calls > 0;
    };
    EXPECT_EQ(r.read(orv::CopcQuery(), keep), 60000);
    EXPECT_GT(calls, 1u);
    EXPECT_EQ(pieces, whole);
    EXPECT_EQ(r.read(orv::CopcQuery(), [](const uint8_t*, size_t) { return false; }), -1);
    EXPECT_EQ(r.failure(), orv::CopcFailure::cancelled);
}

}  // namespace
