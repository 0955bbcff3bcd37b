// What every orvter subcommand shares: help, exit statuses, one-line errors, --json, and a
// progress line only at a terminal.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

std::string orvter(const std::string& args) {
    return shellQuote(ORVTER_PATH) + " " + args;
}

// Runs orvter and keeps standard error only (standard output goes to /dev/null).
orvtest::CommandResult errorsOf(const std::string& args) {
    return runCommand(orvter(args) + " 2>&1 >/dev/null");
}

int lines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// A folder with a small cloud, an XML document and a text file that is neither.
class OrvterBehaviour : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(runCommand(orvter("las gen --quiet --points 3000 " + q("in.las"))).status, 0);
        const std::string xml = "<?xml version=\"1.0\"?>\n<a><b>text</b></a>\n";
        orvtest::writeFile(m_dir.path("in.xml"), {xml.begin(), xml.end()});
        const std::string text =
            "neither LAS nor XML, but long enough to hold a whole header of "
            "a LAS file if anybody took its bytes for one: " +
            std::string(300, 'x');
        orvtest::writeFile(m_dir.path("text.txt"), {text.begin(), text.end()});
    }
    std::string q(const std::string& name) const { return shellQuote(m_dir.path(name)); }

    orvtest::TempDir m_dir;
};

TEST_F(OrvterBehaviour, EveryCommandHasHelp) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Usage: orvter [OPTIONS] SUBCOMMAND"},
        {"las", "Usage: orvter las [OPTIONS] SUBCOMMAND"},
        {"xml", "Usage: orvter xml [OPTIONS] SUBCOMMAND"},
        {"las info", "Usage: orvter las info [OPTIONS] FILE"},
        {"las copy", "Usage: orvter las copy [OPTIONS] IN OUT"},
        {"las gen", "Usage: orvter las gen [OPTIONS] OUT"},
        {"las stream", "Usage: orvter las stream [OPTIONS] IN OUT"},
        {"xml fmt", "Usage: orvter xml fmt [OPTIONS] FILE"},
        {"xml get", "Usage: orvter xml get [OPTIONS] FILE PATH"},
        {"xml set", "Usage: orvter xml set [OPTIONS] FILE PATH VALUE"},
        {"demo", "Usage: orvter demo [OPTIONS]"},
    };
    for (const auto& [command, usage] : cases) {
        const auto r = runCommand(orvter(command + " --help"));
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_NE(r.out.find(usage), std::string::npos) << command << ":\n" << r.out;
        EXPECT_NE(r.out.find("-h,--help"), std::string::npos) << command;
        // A description line comes first, before the usage line.
        EXPECT_GT(r.out.find("Usage:"), 10u) << command << " has no description";
    }
}

TEST_F(OrvterBehaviour, UsageErrorsExitWith2AndShowTheUsage) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Usage: orvter "},
        {"frobnicate", "Usage: orvter "},
        {"las", "Usage: orvter las "},
        {"las info", "Usage: orvter las info "},
        {"las info " + q("in.las") + " --bogus", "Usage: orvter las info "},
        {"las copy " + q("in.las"), "Usage: orvter las copy "},
        {"las copy " + q("in.las") + " " + q("o.las") + " --shift 1,2", "Usage: orvter las copy "},
        {"las gen " + q("o.las"), "Usage: orvter las gen "},
        {"las gen " + q("o.las") + " --points -3", "Usage: orvter las gen "},
        {"las gen " + q("o.las") + " --points 5 --layout 3.0", "Usage: orvter las gen "},
        {"las stream " + q("in.las") + " " + q("o.las") + " --step 0", "Usage: orvter las stream "},
        {"las stream " + q("in.las") + " " + q("o.las") + " --origin 1,2",
         "Usage: orvter las stream "},
        {"xml fmt", "Usage: orvter xml fmt "},
        {"xml get " + q("in.xml"), "Usage: orvter xml get "},
        {"xml set " + q("in.xml") + " /a/b", "Usage: orvter xml set "},
        {"demo --points 0", "Usage: orvter demo "},
        {"demo --step x", "Usage: orvter demo "},
    };
    for (const auto& [args, usage] : cases) {
        const auto r = errorsOf(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.out.find(usage), std::string::npos) << args << ":\n" << r.out;
        EXPECT_EQ(lines(r.out), 3) << args << ": what, usage, where help is\n" << r.out;
    }
    EXPECT_FALSE(std::ifstream(m_dir.path("o.las"))) << "a usage error writes nothing";
}

TEST_F(OrvterBehaviour, BadInputsAndFailedWritesGiveOneLineAndStatus1) {
    const std::string missing = q("missing.las"), nowhere = q("no/such/folder/o.las");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"las info " + missing, "missing.las"},
        {"las info " + q("text.txt"), "is not a LAS file"},
        {"las copy " + missing + " " + q("o.las"), "missing.las"},
        {"las copy " + q("text.txt") + " " + q("o.las"), "is not a LAS file"},
        {"las copy " + q("in.las") + " " + nowhere, "o.las"},
        {"las stream " + missing + " " + q("o.las"), "missing.las"},
        {"las stream " + q("text.txt") + " " + q("o.las"), "is not a LAS file"},
        {"las stream " + q("in.las") + " " + nowhere, "o.las"},
        {"las gen --points 10 " + nowhere, "o.las"},
        {"xml fmt " + q("missing.xml"), "missing.xml"},
        {"xml get " + q("missing.xml") + " /a", "missing.xml"},
        {"xml get " + q("in.xml") + " /nothing", "/nothing"},
        {"xml set " + q("missing.xml") + " /a v", "missing.xml"},
        {"xml set " + q("in.xml") + " /b v -o " + shellQuote(m_dir.path("no/x.xml")), "x.xml"},
        {"demo --points 10 --out " + q("text.txt"), "text.txt"},
    };
    for (const auto& [args, named] : cases) {
        const auto r = errorsOf(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(lines(r.out), 1) << args << ":\n" << r.out;
        EXPECT_EQ(r.out.rfind("orvter: ", 0), 0u) << args << ":\n" << r.out;
        EXPECT_NE(r.out.find(named), std::string::npos) << args << ":\n" << r.out;
    }
    EXPECT_FALSE(std::ifstream(m_dir.path("o.las"))) << "a refused input writes nothing";
}

TEST_F(OrvterBehaviour, JsonAnswersAreOneObjectWithTheFigures) {
    struct Case {
        std::string args;
        std::string key;
        long long value;
    };
    const std::vector<Case> cases = {
        {"las info --json " + q("in.las"), "point_count", 3000},
        {"las gen --json --points 1200 " + q("gen.las"), "points", 1200},
        {"las copy --json " + q("in.las") + " " + q("copy.las"), "points", 3000},
        {"las stream --json --step 10 " + q("in.las") + " " + q("thin.las"), "points_written", 300},
    };
    for (const auto& c : cases) {
        const auto r = runCommand(orvter(c.args));
        ASSERT_EQ(r.status, 0) << c.args;
        const auto j = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << c.args << ":\n" << r.out;
        EXPECT_EQ(j.value(c.key, -1LL), c.value) << c.args << ":\n" << r.out;
    }
}

// A progress line is for a person at a terminal: never in a pipe or a log, never with --quiet.
TEST_F(OrvterBehaviour, ProgressOnlyOnATerminalsStandardError) {
    const std::vector<std::string> commands = {
        "las gen --points 20000 " + q("g.las"),
        "las copy " + q("in.las") + " " + q("c.las"),
        "las stream --block 500 " + q("in.las") + " " + q("s.las"),
    };
    const bool haveScript = runCommand("command -v script >/dev/null").status == 0;
    for (const auto& command : commands) {
        EXPECT_EQ(errorsOf(command).out, "") << command << ": standard error is not a terminal";
        if (!haveScript) continue;
        // script gives the program a terminal; its standard output goes to /dev/null inside, so
        // what comes through is standard error alone.
        auto atTerminal = [&](const std::string& extra) {
            return runCommand("script -qec " + shellQuote(orvter(command + extra) + " >/dev/null") +
                              " /dev/null")
                .out;
        };
        const std::string shown = atTerminal("");
        EXPECT_NE(shown.find("\r 100%\t"), std::string::npos) << command << ":\n" << shown;
        EXPECT_EQ(atTerminal(" --quiet").find('%'), std::string::npos) << command;
    }
}

}  // namespace
