// What every orvter subcommand shares: help, exit statuses, one-line errors, --json, and a
// progress line only at a terminal.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/LasBuilder.h"
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
        {"las copy", "Usage: orvter las copy [OPTIONS] IN [OUT] [MORE...]"},
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
        {"las copy " + q("in.las"), "OUT is required (or --out-dir)"},
        {"las copy " + q("in.las") + " " + q("o.las") + " " + q("x.las"), "need --out-dir"},
        {"las copy " + q("in.las") + " " + q("o.las") + " --jobs 2", "needs --out-dir"},
        {"las copy " + q("in.las") + " " + q("in.las") + " --out-dir " + q("d"), "two inputs"},
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
        {"las foo", "orvter las: unknown subcommand 'foo'"},
        {"xml fmt2 " + q("in.xml"), "orvter xml: unknown subcommand 'fmt2'"},
        {"las stream " + q("in.las") + " " + q("o.las") + " --step abc", "'abc' is not a number"},
        {"las gen " + q("o.las") + " --points 1e3", "'1e3' is not a number"},
        {"las copy " + q("in.las") + " " + q("o.las") + " --set-version 1.3", "las copy "},
        {"las copy " + q("in.las") + " " + q("o.las") + " --set-version 1.2 --format 7",
         "needs LAS 1.4"},
        {"las copy " + q("in.las") + " " + q("o.las") + " --format 11", "las copy "},
        {"las copy " + q("in.las") + " " + q("o.las") + " --keep-class 300", "0 to 255"},
        {"las copy " + q("in.las") + " " + q("o.las") + " --bbox 1,2,3,4,5,6,7", "four or six"},
        {"las copy " + q("in.las") + " " + q("o.las") + " --bbox 1 2 3 4",
         "write them comma-separated: --bbox X0,Y0,X1,Y1"},
        {"las copy " + q("in.las") + " " + q("o.las") + " --scale 1,1,1,1", "one or three"},
        {"las copy " + q("in.las") + " " + q("o.las") + " --step 0", "at least 1"},
        {"las copy " + q("in.las") + " " + q("o.las") + " --pool --format 1", "--pool"},
        {"las copy " + q("in.las") + " " + q("o.las") + " --level 2", "need a COPC input"},
        {"las merge " + q("o.las"), "las merge "},
        {"las copc - " + q("o.laz"), "not standard input"},
        {"las gen " + q("o.laz") + " --points 5 --layout 2.0", "never compressed"},
        {"las to-text " + q("in.las") + " " + q("o.csv") + " --fields x,bogus", "'bogus'"},
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
        {"las info " + missing, "missing.las': No such file or directory"},
        {"las info " + q(""), "Is a directory"},
        {"las info " + q("text.txt"), "is not a LAS file"},
        {"las copy " + missing + " " + q("o.las"), "missing.las': No such file or directory"},
        {"las copy " + q("text.txt") + " " + q("o.las"), "is not a LAS file"},
        {"las copy " + q("in.las") + " " + nowhere, "o.las"},
        {"las stream " + missing + " " + q("o.las"), "missing.las': No such file or directory"},
        {"las stream " + q("text.txt") + " " + q("o.las"), "is not a LAS file"},
        {"las stream " + q("in.las") + " " + nowhere, "o.las"},
        {"las gen --points 10 " + nowhere, "o.las"},
        {"xml fmt " + q("missing.xml"), "missing.xml': No such file or directory"},
        {"xml get " + q("missing.xml") + " /a", "missing.xml"},
        {"xml get " + q("in.xml") + " /nothing", "'/nothing' not found"},
        {"xml get " + q("in.xml") + " /a/b --attr x", "attribute 'x' of '/a/b' not found"},
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

// One shape: the same names for the same things in every subcommand's answer.
TEST_F(OrvterBehaviour, JsonAnswersShareTheirNames) {
    const std::string in = m_dir.path("in.las");
    const struct {
        std::string args;
        nlohmann::json expected;  // these keys with these values, and "seconds" where timed
        bool timed;
    } cases[] = {
        {"las info --json " + q("in.las"), {{"input", in}, {"point_count", 3000}}, false},
        {"las gen --json --points 1200 " + q("gen.las"),
         {{"output", m_dir.path("gen.las")}, {"points_written", 1200}},
         true},
        {"las copy --json " + q("in.las") + " " + q("copy.las"),
         {{"input", in},
          {"output", m_dir.path("copy.las")},
          {"points_read", 3000},
          {"points_written", 3000}},
         true},
        {"las stream --json --step 10 " + q("in.las") + " " + q("thin.las"),
         {{"input", in},
          {"output", m_dir.path("thin.las")},
          {"stated_points", 3000},
          {"points_read", 3000},
          {"points_written", 300}},
         true},
    };
    for (const auto& c : cases) {
        const auto r = runCommand(orvter(c.args));
        ASSERT_EQ(r.status, 0) << c.args;
        const auto j = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << c.args << ":\n" << r.out;
        for (const auto& [key, value] : c.expected.items())
            EXPECT_EQ(j.value(key, nlohmann::json()), value) << c.args << ": " << key;
        EXPECT_EQ(j.contains("seconds"), c.timed) << c.args;
    }
}

// Pipes, `-` and devices: a complete file comes out, or a failure; never a success with
// points or output missing.
TEST_F(OrvterBehaviour, PipesAndDashesCarryWholeFiles) {
    const std::string o = orvter("");
    const struct {
        std::string pipeline;
        std::string expected;  // in standard output
    } cases[] = {
        {"cat " + q("in.las") + " | " + o + "las stream --json - " + q("s.las"),
         "\"points_written\": 3000"},
        {"cat " + q("in.las") + " | " + o + "las stream --quiet /dev/stdin - | " + o +
             "las info --json -",
         "\"readable_points\": 3000"},
        {"cat " + q("in.las") + " | " + o + "las copy --quiet - /dev/stdout | " + o +
             "las info /dev/stdin",
         "readable points:   3000"},
        {o + "las gen --quiet --points 700 - | " + o + "las info -", "readable points:   700"},
        {o + "--version", "orvter 0."},
    };
    for (const auto& c : cases) {
        const auto r = runCommand("bash -o pipefail -c " + shellQuote(c.pipeline));
        EXPECT_EQ(r.status, 0) << c.pipeline;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.pipeline << ":\n" << r.out;
    }
    // Output that is lost is a failure, with a line on standard error.
    if (!std::ifstream("/dev/full")) GTEST_SKIP() << "no /dev/full";
    for (const std::string& args :
         {"las info " + q("in.las"), "las info --json " + q("in.las"),
          "xml get " + q("in.xml") + " /a/b", "xml fmt " + q("in.xml"),
          "las copy --quiet " + q("in.las") + " -", "las info " + q("in.las") + " --help"}) {
        const auto r = runCommand(orvter(args) + " 2>&1 >/dev/full");
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.out.rfind("orvter: cannot write", 0), 0u) << args << ":\n" << r.out;
    }
}

// Without --strict a short file is read with a warning; with it, any disagreement with the
// header is exit 3 before anything is written.
TEST_F(OrvterBehaviour, StrictRefusesFilesThatDisagreeWithTheirHeader) {
    orvtest::LasBuilder fine;
    fine.header.maxX = fine.header.maxY = fine.header.maxZ = 0.01;
    fine.add({1, 2, 3, 0, 1, 2}).add({4, 5, 6, 0, 1, 2});
    orvtest::LasBuilder cut = fine, outside = fine;
    cut.keepCount = true;
    cut.header.numberOfPointRecords = 4;
    outside.add({50, 5, 6, 0, 1, 2});  // 0.05 beyond the maximum 0.01
    orvtest::writeFile(m_dir.path("fine.las"), fine.bytes());
    orvtest::writeFile(m_dir.path("cut.las"), cut.bytes());
    orvtest::writeFile(m_dir.path("outside.las"), outside.bytes());
    const std::string shortWarning =
        "warning: read 2 of the 4 points the header of '" + m_dir.path("cut.las") + "' states\n";
    const struct {
        std::string command, file;
        int status, strictStatus;
        std::string warning;  // without --strict
    } cases[] = {
        {"las info", "fine.las", 0, 0, ""},
        {"las copy", "fine.las", 0, 0, ""},
        {"las stream", "fine.las", 0, 0, ""},
        {"las info", "cut.las", 0, 3,
         "warning: '" + m_dir.path("cut.las") +
             "': the header states 4 points but the file holds 2 whole records\n"},
        {"las copy", "cut.las", 0, 3, shortWarning},
        {"las stream", "cut.las", 0, 3, shortWarning},
        {"las copc", "cut.las", 0, 3, shortWarning},
        {"las render", "cut.las", 0, 3, shortWarning},
        {"las info", "outside.las", 0, 3, ""},
        {"las copy", "outside.las", 0, 3, ""},
        {"las stream", "outside.las", 0, 3, ""},
        {"las copc", "outside.las", 0, 3, ""},
    };
    for (const auto& c : cases) {
        const std::string out = c.command == "las info"     ? ""
                                : c.command == "las render" ? " " + q("o.las")
                                                            : " --quiet " + q("o.las");
        const auto plain = errorsOf(c.command + " " + q(c.file) + out);
        EXPECT_EQ(plain.status, c.status) << c.command << " " << c.file;
        if (c.command != "las info" || !c.warning.empty()) {
            EXPECT_EQ(plain.out, c.warning) << c.command << " " << c.file;
        }
        std::remove(m_dir.path("o.las").c_str());
        const auto strict = errorsOf(c.command + " --strict " + q(c.file) + out);
        EXPECT_EQ(strict.status, c.strictStatus) << c.command << " " << c.file << "\n"
                                                 << strict.out;
        if (c.strictStatus == 3) {
            EXPECT_NE(strict.out.find("disagrees with its header"), std::string::npos)
                << strict.out;
            EXPECT_FALSE(std::ifstream(m_dir.path("o.las"))) << c.command << " wrote " << c.file;
        }
    }
}

// las copc takes only what las copy takes: steps that grow with coordinates, and never its own
// input as its output.
TEST_F(OrvterBehaviour, CopcRefusesScalesNoOctreeCanUseAndItsOwnInput) {
    const struct {
        const char* what;
        double scale;
    } scales[] = {{"zero", 0.0}, {"infinite", 1.0 / 0.0}, {"negative", -0.01}};
    for (const auto& c : scales) {
        orvtest::LasBuilder las;
        las.header.yScale = c.scale;
        las.add({1, 2, 3, 0, 1, 2}).add({4, 5, 6, 0, 1, 2});
        orvtest::writeFile(m_dir.path("bad.las"), las.bytes());
        const auto r = errorsOf("las copc --quiet " + q("bad.las") + " " + q("o.copc.laz"));
        EXPECT_EQ(r.status, 1) << c.what << ": " << r.out;
        EXPECT_NE(r.out.find("scale"), std::string::npos) << c.what << ": " << r.out;
        EXPECT_FALSE(std::ifstream(m_dir.path("o.copc.laz"))) << c.what;
    }
    const auto before = orvtest::readFile(m_dir.path("in.las"));
    const auto r = errorsOf("las copc --quiet " + q("in.las") + " " + q("in.las"));
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("is the input"), std::string::npos) << r.out;
    EXPECT_EQ(orvtest::readFile(m_dir.path("in.las")), before);
}

// A progress line is for a person at a terminal: never in a pipe or a log, never with --quiet.
TEST_F(OrvterBehaviour, ProgressOnlyOnATerminalsStandardError) {
    const std::vector<std::string> commands = {
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
        EXPECT_NE(shown.find(" points, "), std::string::npos) << command << ":\n" << shown;
        EXPECT_EQ(atTerminal(" --quiet").find('%'), std::string::npos) << command;
    }
}

// Every command that writes a LAS file compresses it when the name ends in .laz, and with --laz
// also on standard output; its help says both.
TEST_F(OrvterBehaviour, LazOutputsAreCompressedWhateverWritesThem) {
    const std::string in = q("in.las");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"las copy", "las copy " + in},     {"las copy", "las copy --pool " + in},
        {"las merge", "las merge"},         {"las gen", "las gen --points 100"},
        {"las stream", "las stream " + in},
    };
    for (const auto& [command, start] : cases) {
        const std::string help = runCommand(orvter(command + " --help")).out;
        EXPECT_NE(help.find(".laz"), std::string::npos) << command;
        EXPECT_NE(help.find("--laz"), std::string::npos) << command;
        const std::string rest = command == "las merge" ? " " + in : "";
        for (const std::string& out : {q("o.laz"), std::string("- --laz > ") + q("o.laz")}) {
            std::remove(m_dir.path("o.laz").c_str());
            const auto r = runCommand(orvter(start + " --quiet " + out + rest) + " 2>/dev/null");
            EXPECT_EQ(r.status, 0) << start << " " << out;
            const auto bytes = orvtest::readFile(m_dir.path("o.laz"));
            ASSERT_GT(bytes.size(), 104u) << start << " " << out;
            EXPECT_EQ(bytes[104] & 0x80, 0x80) << start << " " << out << ": not compressed";
        }
    }
}

// The paths that carry coordinates as floats say how far one may move; exact paths say nothing.
TEST_F(OrvterBehaviour, LossyPathsSayHowFarACoordinateMoves) {
    const std::string copy = q("in.las") + " " + q("o.las") + " --quiet";
    const std::vector<std::pair<std::string, bool>> cases = {
        {"las stream --origin none " + copy, true},
        {"las copy --pool " + copy, true},
        {"las stream " + copy, false},
        {"las copy " + copy, false},
    };
    for (const auto& [command, warns] : cases) {
        const auto r = errorsOf(command);
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.find("a coordinate may move by up to 0.1") != std::string::npos, warns)
            << command << ":\n"
            << r.out;
    }
}

// Many files at once: each shown or copied, a failing one reported and counted, the status
// saying so at the end.
TEST_F(OrvterBehaviour, ManyFilesGoOnPastAFailure) {
    ASSERT_EQ(runCommand(orvter("las gen --quiet --points 500 " + q("b.laz"))).status, 0);
    const std::string files = q("in.las") + " " + q("text.txt") + " " + q("b.laz");
    const auto text = runCommand(orvter("las info " + files) + " 2>&1");
    EXPECT_EQ(text.status, 1) << text.out;
    EXPECT_NE(text.out.find("b.laz"), std::string::npos) << "the file after the failure";
    EXPECT_NE(text.out.find("text.txt' is not a LAS file"), std::string::npos) << text.out;

    const auto json = runCommand(orvter("las info --json " + q("in.las") + " " + q("b.laz")));
    ASSERT_EQ(json.status, 0);
    const auto all = nlohmann::json::parse(json.out);
    ASSERT_TRUE(all.is_array());
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1]["point_count"], 500);

    const auto copy = runCommand(orvter("las copy --jobs 2 --out-dir " + q("out") + " " + files));
    EXPECT_EQ(copy.status, 1);
    EXPECT_NE(copy.out.find("3 files, 3500 points, 1 failures in "), std::string::npos) << copy.out;
    EXPECT_EQ(orvtest::readFile(m_dir.path("out/in.las")), orvtest::readFile(m_dir.path("in.las")));
    const auto laz = orvtest::readFile(m_dir.path("out/b.laz"));
    ASSERT_GT(laz.size(), 104u);
    EXPECT_EQ(laz[104] & 0x80, 0x80) << "a compressed input is copied compressed";
}

// An option and the file names in either order, and its value attached with `=`, all do the
// same: a list option stops at its own values, so the files after it stay files.
TEST_F(OrvterBehaviour, OptionsBeforeOrAfterTheFilesDoTheSame) {
    struct Case {
        std::string command, option, attached, files, result;
        bool changes;                  // the result differs from the input
        std::string flag = "--quiet";  // must not turn the files into the option's values
    };
    const std::string copy = q("in.las") + " " + q("o.las"), box = "512000,4180000,512500,4180500";
    const std::vector<Case> cases = {
        {"las copy", "--out-dir " + q("d"), "--out-dir=" + q("d"), q("in.las"), "d/in.las", false},
        {"las copy", "--scale 0.01", "--scale=0.01", copy, "o.las", true},
        {"las copy", "--scale 0.01,0.02,0.004", "--scale=0.01,0.02,0.004", copy, "o.las", true},
        {"las copy", "--offset 512000 4180000 1", "--offset=512000,4180000,1", copy, "o.las", true},
        {"las copy", "--shift 1,2,3", "--shift=1,2,3", copy, "o.las", true},
        {"las copy", "--bbox " + box, "--bbox=" + box, copy, "o.las", true},
        {"las copy", "--keep-class 2,6", "--keep-class=2,6", copy, "o.las", true},
        {"las copy", "--drop-class 2", "--drop-class=2", copy, "o.las", true},
        {"las copy", "--keep-return 1,2", "--keep-return=1,2", copy, "o.las", true},
        {"las copy", "--keep-z 80 120", "--keep-z=80,120", copy, "o.las", true},
        {"las copy", "--keep-z 80,120", "--keep-z=80,120", copy, "o.las", true},
        {"las copy", "--keep-scan-angle -5 5", "--keep-scan-angle=-5,5", copy, "o.las", true},
        {"las to-text", "--fields x,y", "--fields=x,y", q("in.las") + " " + q("o.csv"), "o.csv",
         true, "--header"},
        {"las render", "--bbox " + box, "--bbox=" + box, q("in.las") + " " + q("o.png"), "o.png",
         true, "--bare"},
    };
    const auto input = orvtest::readFile(m_dir.path("in.las"));
    for (const Case& c : cases) {
        const std::string flag = " " + c.flag;
        const std::vector<std::string> spellings = {
            c.command + " " + c.option + " " + c.files + flag,
            c.command + " " + c.files + " " + c.option + flag,
            c.command + " " + c.files + " " + c.attached + flag,
            c.command + " " + c.attached + " " + c.files + flag,
        };
        std::vector<uint8_t> first;
        for (const std::string& args : spellings) {
            std::remove(m_dir.path(c.result).c_str());
            const auto r = errorsOf(args);
            EXPECT_EQ(r.status, 0) << args << ":\n" << r.out;
            const auto result = orvtest::readFile(m_dir.path(c.result));
            EXPECT_FALSE(result.empty()) << args;
            if (first.empty()) first = result;
            EXPECT_TRUE(result == first) << args;
            EXPECT_EQ(result != input, c.changes) << args;
        }
    }
}

}  // namespace
