#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

std::string orvter(const std::string& args) {
    return orvtest::orvterCommand(args);
}

// What every XML command test sets up: a folder of its own and documents in it.
class OrvterXml : public ::testing::Test {
protected:
    // Writes `text` to `name` in the folder; returns the path.
    std::string put(const std::string& name, const std::string& text) {
        orvtest::writeText(dir.path(name), text);
        return dir.path(name);
    }
    // A copy of a shared sample in the folder, or "" when the samples are not there.
    std::string sample(const std::string& name) {
        const std::string text = orvtest::readText(orvtest::testDataDir() + "/xml/" + name);
        return text.empty() ? std::string() : put(name, text);
    }
    // What an independent reader makes of `path`: exit 0 and no words when well formed.
    static orvtest::CommandResult lint(const std::string& path) {
        return runCommand("xmllint --noout " + shellQuote(path) + " 2>&1");
    }
    // The string value of an XPath expression, as an independent reader evaluates it.
    static std::string xpath(const std::string& path, const std::string& expression) {
        std::string out = runCommand("xmllint --xpath " + shellQuote("string(" + expression + ")") +
                                     " " + shellQuote(path) + " 2>&1")
                              .out;
        if (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }

    orvtest::TempDir dir;
};

TEST_F(OrvterXml, FmtPrintsTheComposedDocument) {
    const std::string in =
        put("in.xml", "<?xml version=\"1.1\"?>\n<r x=\"1\">\n<b k='v'>t</b><c/></r>\n");
    auto r = runCommand(orvter("xml fmt " + shellQuote(in)));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "<?xml version=\"1.1\" encoding=\"GB2312\"?>\r\n<r>\r\n    <b k =\"v\">t</b>\r\n"
              "    <c>\r\n    </c>\r\n</r>\r\n");
}

TEST_F(OrvterXml, FmtComposesRealDocumentsToWellFormedText) {
    if (sample("project.xml").empty()) GTEST_SKIP() << "shared XML samples not found";
    for (const char* name : {"project.xml", "gb2312.xml"}) {
        const std::string out = dir.path(std::string("fmt-") + name);
        auto r =
            runCommand(orvter("xml fmt " + shellQuote(sample(name)) + " > " + shellQuote(out)));
        ASSERT_EQ(r.status, 0) << name;
        auto checked = lint(out);
        EXPECT_EQ(checked.status, 0) << name << checked.out;
    }
}

// The parser's words and the tool's last line go to standard error; standard output stays
// clean for the data.
TEST_F(OrvterXml, RefusedFilesFailWithTheirReasonOnStandardError) {
    const std::string bad = put("bad.xml", "<r><b></c></r>");
    const std::string comment = put("comment.xml", "<r><!-- note --><b>1</b></r>");
    const std::string empty = put("empty.xml", "");
    const std::string subset = "the document is outside the XML subset the parser reads";
    const struct {
        std::string args;
        int status;
        std::string err;  // standard error, in full or (ending in "...") its start
    } cases[] = {
        {"xml fmt " + shellQuote(bad), 1,
         "ERROR: Can't find a end tag for <b>.\norvter: cannot load '" + bad + "'\n"},
        {"xml get " + shellQuote(comment) + " b", 1,
         "orvter: cannot load '" + comment + "': " + subset + "..."},
        {"xml fmt " + shellQuote(dir.path("missing.xml")), 1,
         "orvter: cannot read '" + dir.path("missing.xml") + "': No such file or directory\n"},
        {"xml fmt " + shellQuote(dir.path("")), 1,
         "orvter: cannot read '" + dir.path("") + "': Is a directory\n"},
        {"xml fmt " + shellQuote(empty), 1, "orvter: cannot load '" + empty + "': empty file\n"},
        {"xml fmt", 2, "orvter xml fmt: FILE is required..."},
    };
    for (const auto& c : cases) {
        auto r = runCommand(orvter(c.args) + " 2>&1 >" + shellQuote(dir.path("stdout")));
        EXPECT_EQ(r.status, c.status) << c.args;
        if (c.err.size() > 3 && c.err.compare(c.err.size() - 3, 3, "...") == 0)
            EXPECT_EQ(r.out.rfind(c.err.substr(0, c.err.size() - 3), 0), 0u) << r.out;
        else
            EXPECT_EQ(r.out, c.err) << c.args;
        EXPECT_TRUE(orvtest::readFile(dir.path("stdout")).empty()) << c.args;
    }
}

TEST_F(OrvterXml, DashReadsStandardInput) {
    const auto r = runCommand("printf '<r><b>t</b></r>' | " + orvter("xml fmt -"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("<b>t</b>"), std::string::npos) << r.out;
    const auto got = runCommand("printf '<r><b>t</b></r>' | " + orvter("xml get - /r/b"));
    EXPECT_EQ(got.out, "t\n");
}

TEST_F(OrvterXml, SetThenGetReturnsTheValueAndTheFileStaysWellFormed) {
    const std::string copy = sample("project.xml");
    if (copy.empty()) GTEST_SKIP() << "shared XML samples not found";
    const std::string original = orvtest::readText(copy);
    const std::string f = shellQuote(copy);
    const struct {
        std::string set;
        std::string get;
        std::string printed;
    } cases[] = {
        {"/TerrainProject/Name 'New name'", "Name", "New name\n"},
        {"Tile 9 --attr points", "/TerrainProject/Layers/Tile --attr points", "9\n"},
        {"Settings/Colour red --create", "Settings/Colour", "red\n"},
        {"/TerrainProject/Extra/Deep x --create", "Deep", "x\n"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(runCommand(orvter("xml set " + f + " " + c.set)).status, 0) << c.set;
        auto r = runCommand(orvter("xml get " + f + " " + c.get));
        EXPECT_EQ(r.status, 0) << c.get;
        EXPECT_EQ(r.out, c.printed) << c.get;
    }
    const auto checked = lint(copy);
    EXPECT_EQ(checked.status, 0) << checked.out;

    // -o leaves the input alone.
    const std::string other = dir.path("other.xml");
    orvtest::writeText(copy, original);
    ASSERT_EQ(runCommand(orvter("xml set " + f + " Name n -o " + shellQuote(other))).status, 0);
    EXPECT_EQ(orvtest::readText(copy), original);
    EXPECT_EQ(runCommand(orvter("xml get " + shellQuote(other) + " Name")).out, "n\n");
    // - writes standard output, and reads standard input.
    const auto piped = runCommand(orvter("xml set " + f + " Name p -o - | ") +
                                  orvter("xml set - Name q | ") + orvter("xml get - Name"));
    EXPECT_EQ(piped.out, "q\n");
    EXPECT_EQ(orvtest::readText(copy), original);
}

// A real document with single-quoted attributes and a declaration stays readable by others.
TEST_F(OrvterXml, SetKeepsARealDocumentWellFormedWithItsAttributes) {
    const std::string copy = sample("metadata.xml");
    if (copy.empty()) GTEST_SKIP() << "shared XML samples not found";
    const std::string f = shellQuote(copy);
    ASSERT_EQ(runCommand(orvter("xml set " + f + " /metadata/acquired 2026-06-01")).status, 0);
    for (const char* attr : {"id", "format", "version"})
        EXPECT_NE(runCommand(orvter("xml get " + f + " dataset --attr ") + attr).out, "\n") << attr;
    const auto checked = lint(copy);
    EXPECT_EQ(checked.status, 0) << checked.out;
}

// What other readers see of a document after `xml set` is what they saw before, but for the
// value set: the root's attributes, the characters of its texts, its declaration's meaning.
TEST_F(OrvterXml, SetKeepsWhatOtherReadersSee) {
    const struct {
        const char* what;
        std::string text;
        std::string set;
        std::vector<std::pair<std::string, std::string>> seen;  // XPath -> string value
    } cases[] = {
        {"UTF-8 without a declaration; root attributes of both quote kinds",
         "<r b=\"2\" a='say \"hi\"' c = 'x'><n>caf\xC3\xA9</n><m>1</m></r>",
         "m 2",
         {{"/r/n", "caf\xC3\xA9"},
          {"/r/@a", "say \"hi\""},
          {"/r/@b", "2"},
          {"/r/@c", "x"},
          {"/r/m", "2"}}},
        {"a declaration without an encoding",
         "<?xml version=\"1.0\"?>\n<r x=\"1\"><n>caf\xC3\xA9</n></r>",
         "/r/n v --attr k",
         {{"/r/n", "caf\xC3\xA9"}, {"/r/n/@k", "v"}, {"/r/@x", "1"}}},
        {"a root attribute named version and no declaration",
         "<r version=\"2.5\"><n>a</n></r>",
         "n b",
         {{"/r/@version", "2.5"}, {"/r/n", "b"}}},
        {"a root attribute set over one read from the file",
         "<r a=\"1\" b=\"2\"><n/></r>",
         "/r 9 --attr a",
         {{"/r/@a", "9"}, {"/r/@b", "2"}}},
        {"a declared encoding stays",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r><n>caf\xE9</n><m/></r>",
         "m x",
         {{"/r/n", "caf\xC3\xA9"}, {"/r/m", "x"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = put("doc.xml", c.text);
        ASSERT_EQ(runCommand(orvter("xml set " + shellQuote(path) + " " + c.set)).status, 0);
        const auto checked = lint(path);
        EXPECT_EQ(checked.status, 0) << checked.out << orvtest::readText(path);
        for (const auto& [expression, value] : c.seen)
            EXPECT_EQ(xpath(path, expression), value) << expression;
    }
}

TEST_F(OrvterXml, MissesAndRefusalsFailWithoutWriting) {
    const std::string copy = sample("project.xml");
    if (copy.empty()) GTEST_SKIP() << "shared XML samples not found";
    const std::string original = orvtest::readText(copy);
    const std::string f = shellQuote(copy);
    const std::string bad = shellQuote(put("bad.xml", "<r><b></c></r>"));
    // An attribute value that holds another attribute's name and "=".
    const std::string tricky = shellQuote(put("tricky.xml", "<r><v a=\"1 x=\"/></r>"));
    const std::string refused = "2>&1 | sed 's/^orvter: refused: //'";
    const struct {
        std::string args;
        int status;
        std::string out;
    } cases[] = {
        {"xml get " + f + " Nope 2>&1", 1, "orvter: 'Nope' not found in '" + copy + "'\n"},
        {"xml set " + f + " Nope v 2>&1", 1, "orvter: 'Nope' not found in '" + copy + "'\n"},
        {"xml get " + f + " '' 2>&1", 1, "orvter: '' not found in '" + copy + "'\n"},
        {"xml get " + f + " Origin --attr nope 2>&1", 1,
         "orvter: attribute 'nope' of 'Origin' not found in '" + copy + "'\n"},
        {"xml get " + tricky + " v --attr x 2>&1", 1,
         "orvter: attribute 'x' of 'v' not found in '" + dir.path("tricky.xml") + "'\n"},
        {"xml get " + tricky + " v --attr a", 0, "1 x=\n"},
        {"xml get " + bad + " b 2>/dev/null", 1, ""},
        {"xml set " + f + " Name v -o /no/such/dir/x.xml 2>&1", 1,
         "orvter: cannot write '/no/such/dir/x.xml'\n"},
        {"xml get " + f + " Layers", 0, "\n"},  // no text: an empty line
        // Values and names the file could not hold: exit 2 (the status of a pipe's last
        // command is sed's), the file untouched.
        {"xml set " + f + " Name 'Fish & Chips' 2>&1", 2,
         "orvter: refused: the value holds '&', which the file cannot hold (no entities are "
         "read or written)\n"},
        {"xml set " + f + " Name 'a<b' " + refused, 0, "the value holds '<'..."},
        {"xml set " + f + " Name 'a>b' " + refused, 0, "the value holds '>'..."},
        {"xml set " + f + " Layer 'say \"hi\"' --attr note " + refused, 0,
         "the value holds '\"'..."},
        {"xml set " + f + " Name \"$(printf 'a\\001b')\" " + refused, 0,
         "the value holds the control byte 0x01, which XML does not allow\n"},
        {"xml set " + f + " Layer 1 --attr 'q\"' " + refused, 0, "'q\"' is not an XML name\n"},
        {"xml set " + f + " 'Extra/Na<me' 1 --create " + refused, 0,
         "'Na<me' is not an XML name\n"},
        {"xml set " + f + " Layer 1 --attr 'a b' 2>/dev/null", 2, ""},
        {"xml set " + f + " 'Na<me' 1 --create 2>/dev/null", 2, ""},
    };
    for (const auto& c : cases) {
        auto r = runCommand(orvter(c.args));
        EXPECT_EQ(r.status, c.status) << c.args;
        const size_t dots = c.out.size() >= 3 ? c.out.size() - 3 : 0;
        if (c.out.size() > 3 && c.out.compare(dots, 3, "...") == 0)
            EXPECT_EQ(r.out.substr(0, dots), c.out.substr(0, dots)) << c.args;
        else
            EXPECT_EQ(r.out, c.out) << c.args;
    }
    EXPECT_EQ(orvtest::readText(copy), original);
}

}  // namespace
