// Writes never destroy: an output that is an input is refused, a failed write leaves the target
// as it was, and nothing is left behind however orvter ends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "support/FaultSweep.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orvtest::folderEntries;
using orvtest::runCommand;
using orvtest::shellQuote;

// A folder with a small cloud, a document, a target holding old bytes, and its own $TMPDIR.
class WriteSafety : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(run("las gen --quiet --points 3000 " + q("in.las")), 0);
        const std::string xml = "<r><a>1</a></r>\n";
        orvtest::writeFile(m_dir.path("in.xml"), {xml.begin(), xml.end()});
        orvtest::writeFile(m_dir.path("t.las"), m_old);
        ASSERT_EQ(mkdir(m_dir.path("tmp").c_str(), 0777), 0);
        m_before = folderEntries(m_dir.path(""));
    }
    std::string q(const std::string& name) const { return shellQuote(m_dir.path(name)); }
    // Standard error goes where `errors` says, before the arguments' own redirections.
    std::string command(const std::string& args, const std::string& env = "",
                        const std::string& errors = "2>/dev/null") const {
        return "cd " + q("") + " && TMPDIR=" + q("tmp") + " " + env + " " +
               shellQuote(ORVTER_PATH) + " " + errors + " " + args;
    }
    int run(const std::string& args, const std::string& env = "") const {
        return runCommand(command(args, env) + " >/dev/null").status;
    }
    // The folder and $TMPDIR hold what they held, and the target its old bytes.
    void expectUntouched(const std::string& what) const {
        EXPECT_EQ(folderEntries(m_dir.path("")), m_before) << what;
        EXPECT_EQ(folderEntries(m_dir.path("tmp")), std::set<std::string>{}) << what;
        EXPECT_EQ(orvtest::readFile(m_dir.path("t.las")), m_old) << what;
    }

    orvtest::TempDir m_dir;
    const std::vector<uint8_t> m_old = {'o', 'l', 'd', ' ', 'b', 'y', 't', 'e', 's'};
    std::set<std::string> m_before;
};

TEST_F(WriteSafety, AnOutputThatIsAnInputIsRefusedWhateverItsPath) {
    ASSERT_EQ(run("las copy in.las t.las"), 0);
    const std::vector<uint8_t> copy = orvtest::readFile(m_dir.path("t.las"));
    ASSERT_EQ(link(m_dir.path("t.las").c_str(), m_dir.path("hard.las").c_str()), 0);
    ASSERT_EQ(symlink("t.las", m_dir.path("soft.las").c_str()), 0);
    ASSERT_EQ(symlink("in.xml", m_dir.path("soft.xml").c_str()), 0);
    const std::string xml = "<r><a>1</a></r>\n";
    const char* const commands[] = {
        "las copy t.las t.las",           "las copy t.las ./hard.las",
        "las copy --pool t.las soft.las", "las merge soft.las in.las t.las",
        "las stream hard.las t.las",      "las copy - t.las < t.las",
        "las copy t.las - >> t.las",      "xml fmt in.xml -o soft.xml",
        "xml set in.xml a 2 -o ./in.xml",
    };
    for (const char* c : commands) {
        const auto r = runCommand(command(c, "", "2>&1"));
        EXPECT_EQ(r.status, 2) << c << ": " << r.out;
        EXPECT_NE(r.out.find("refused"), std::string::npos) << c << ": " << r.out;
        EXPECT_EQ(orvtest::readFile(m_dir.path("t.las")), copy) << c;
        EXPECT_EQ(orvtest::readFile(m_dir.path("in.xml")),
                  std::vector<uint8_t>(xml.begin(), xml.end()))
            << c;
    }
    EXPECT_EQ(run("xml set in.xml a 2"), 0) << "without -o the file itself is changed";
}

TEST_F(WriteSafety, AFailedWriteKeepsTheTargetAsItWas) {
    // Points 3,000 km apart: the second cannot be stored beside the offsets the first fixed.
    orvtest::LasBuilder far;
    far.header.xScale = 1.0;
    far.add({0, 0, 0, 1, 1, 1}).add({3000000, 0, 0, 2, 1, 1});
    orvtest::writeFile(m_dir.path("far.las"), far.bytes());
    m_before.insert("far.las");
    const char* const commands[] = {
        "las copy --shift 1e12,0,0 in.las t.las",
        "las copy --pool far.las t.las",
        "las stream far.las t.las",
        "las copy --scale 1e-9 in.las t.las",
    };
    for (const char* c : commands) {
        EXPECT_EQ(run(c), 1) << c;
        expectUntouched(c);
    }
}

// Where the folder takes no new file, the target is never written in place.
TEST_F(WriteSafety, AFolderClosedToNewFilesRefusesTheWriteBeforeTouchingTheTarget) {
    ASSERT_EQ(chmod(m_dir.path("t.las").c_str(), 0666), 0);
    ASSERT_EQ(chmod(m_dir.path("in.xml").c_str(), 0666), 0);
    const std::string said = orvtest::runUnprivileged({m_dir.path("")}, [&]() -> std::string {
        if (chmod(m_dir.path("").c_str(), 0555) != 0) return "cannot close the folder";
        std::string failures;
        for (const char* c : {"las copy in.las t.las", "las stream in.las t.las",
                              "las copy --pool in.las t.las", "xml set in.xml a 2"}) {
            const auto r = runCommand(command(c, "", "2>&1") + " >/dev/null");
            if (r.status != 1) failures += std::string(c) + ": exit not 1\n";
            const bool las = std::string(c).rfind("las", 0) == 0;
            if (las && r.out.find("Permission denied") == std::string::npos)
                failures += std::string(c) + ": " + r.out;
        }
        chmod(m_dir.path("").c_str(), 0700);
        return failures;
    });
    if (said == orvtest::kNoUnprivilegedUser) GTEST_SKIP() << said;
    EXPECT_EQ(said, "");
    expectUntouched("read-only folder");
    const std::string xml = "<r><a>1</a></r>\n";
    EXPECT_EQ(orvtest::readFile(m_dir.path("in.xml")),
              std::vector<uint8_t>(xml.begin(), xml.end()));
}

// Killed at a chosen step of the write (the file layer raises the signal itself), orvter leaves
// the target as it was and nothing in its folder or $TMPDIR. Only SIGKILL between the link and
// the rename of a replacement, which nothing can catch, leaves the finished file's hidden name.
TEST_F(WriteSafety, KilledAtAnyStepOrvterLeavesNothingBehind) {
    ASSERT_EQ(run("las gen --quiet --points 300000 " + q("big.las")), 0);
    m_before.insert("big.las");
    struct Step {
        const char* fault;
        const char* what;
    } const steps[] = {{"write:1", "after open"},
                       {"write:3", "mid-write"},
                       {"rename:2", "between link and rename"}};
    const char* const commands[] = {"las copy big.las t.las", "las stream big.las t.las",
                                    "las copy - t.las < big.las", "xml fmt in.xml -o t.las"};
    for (const char* c : commands) {
        for (const Step& s : steps) {
            for (int signal : {SIGKILL, SIGTERM, SIGHUP}) {
                const std::string what =
                    std::string(c) + ", " + s.what + ", signal " + std::to_string(signal);
                const std::string env =
                    "ORV_FAULT_SIGNAL=" + std::string(s.fault) + ":" + std::to_string(signal);
                orvtest::writeFile(m_dir.path("t.las"), m_old);
                const int status = runCommand(command(c, env) + " >/dev/null; echo $?").out ==
                                           std::to_string(128 + signal) + "\n"
                                       ? 0
                                       : 1;
                // A small document is written in one or two writes: it is never mid-way.
                if (status != 0 && std::string(s.fault) == "write:3" &&
                    std::string(c).rfind("xml", 0) == 0)
                    continue;
                EXPECT_EQ(status, 0) << what << ": not killed at that step";
                if (signal == SIGKILL && std::string(s.fault) == "rename:2") {
                    std::set<std::string> left = folderEntries(m_dir.path(""));
                    EXPECT_EQ(left.size(), m_before.size() + 1) << what;
                    for (const std::string& name : left)
                        if (!m_before.count(name)) {
                            EXPECT_EQ(name.rfind(".t.las.", 0), 0u) << what << ": " << name;
                            std::remove(m_dir.path(name).c_str());
                        }
                }
                expectUntouched(what);
            }
        }
    }
}

// Spools have no name from the start: a reader that stops early, or a kill while standard
// input is read, leaves nothing in $TMPDIR.
TEST_F(WriteSafety, SpoolsLeaveNothingInTheTemporaryFolder) {
    ASSERT_EQ(run("las gen --quiet --points 300000 " + q("big.las")), 0);
    const auto r = runCommand(command("las copy --quiet big.las - | head -c 100 | wc -c"));
    EXPECT_EQ(r.out, "100\n");
    EXPECT_EQ(folderEntries(m_dir.path("tmp")), std::set<std::string>{});

    int feed[2];
    ASSERT_EQ(pipe(feed), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(feed[0], STDIN_FILENO);
        close(feed[0]);
        close(feed[1]);
        setenv("TMPDIR", m_dir.path("tmp").c_str(), 1);
        execl(ORVTER_PATH, "orvter", "las", "copy", "-", m_dir.path("t.las").c_str(), nullptr);
        _exit(127);
    }
    close(feed[0]);
    // Once a megabyte is through a 64 KiB pipe, orvter is spooling it.
    const std::vector<char> bytes(1 << 20, 'x');
    EXPECT_EQ(write(feed[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(folderEntries(m_dir.path("tmp")), std::set<std::string>{}) << "while spooling";
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(feed[1]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    m_before.insert("big.las");
    expectUntouched("killed while reading standard input");
}

// Texts that are not UTF-8 come out as \u00XX of each byte: the work and its answer both stand.
TEST_F(WriteSafety, JsonEscapesEveryByteThatIsNotUtf8) {
    const std::string data = orvtest::lasDataDir();
    if (data.empty()) GTEST_SKIP() << "no shared samples";
    std::vector<uint8_t> bytes = orvtest::readFile(data + "/test1_4.las");
    const std::string latin1 = "caf\xe9";
    std::copy(latin1.begin(), latin1.end(), bytes.begin() + 26);  // the system identifier
    const std::string wkt = "PROJCS[\"";
    auto at = std::search(bytes.begin(), bytes.end(), wkt.begin(), wkt.end());
    ASSERT_NE(at, bytes.end());
    at[wkt.size()] = 0xFF, at[wkt.size() + 1] = 0x01;
    orvtest::writeFile(m_dir.path("caf\xe9.las"), bytes);
    const struct {
        std::string args, expected;
    } cases[] = {
        {"las info --json caf\xe9.las", "\"caf\\u00e9"},
        {"las info --json caf\xe9.las", "PROJCS[\\\"\\u00ff\\u0001"},
        {"las copy --json caf\xe9.las out.las", "\"input\": \"caf\\u00e9.las\""},
        {"las stream --json caf\xe9.las out.las", "\"input\": \"caf\\u00e9.las\""},
    };
    for (const auto& c : cases) {
        const auto r = runCommand(command(c.args));
        EXPECT_EQ(r.status, 0) << c.args;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.args << ": " << r.out;
        EXPECT_TRUE(nlohmann::json::accept(r.out)) << c.args;
    }
}

}  // namespace
