#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

std::string orvter(const std::string& args) {
    return shellQuote(ORVTER_PATH) + " " + args;
}
std::string xmlData(const std::string& name) {
    return std::string(ORV_TESTDATA_DIR) + "/xml/" + name;
}
bool haveXmlData() {
    return !orvtest::readFile(xmlData("project.xml")).empty();
}

TEST(OrvterXmlFmt, PrintsTheComposedDocument) {
    orvtest::TempDir dir;
    const std::string in = dir.path("in.xml");
    const std::string text = "<?xml version=\"1.1\"?>\n<r x=\"1\">\n<b k='v'>t</b><c/></r>\n";
    orvtest::writeFile(in, std::vector<uint8_t>(text.begin(), text.end()));
    auto r = runCommand(orvter("xml fmt " + shellQuote(in)));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "<?xml version=\"1.1\" encoding=\"GB2312\"?>\r\n<r>\r\n    <b k =\"v\">t</b>\r\n"
              "    <c>\r\n    </c>\r\n</r>\r\n");
}

TEST(OrvterXmlFmt, RealDocumentsComposeToWellFormedText) {
    if (!haveXmlData()) GTEST_SKIP() << "shared XML samples not found";
    orvtest::TempDir dir;
    for (const char* name : {"project.xml", "gb2312.xml"}) {
        const std::string out = dir.path(name);
        auto r =
            runCommand(orvter("xml fmt " + shellQuote(xmlData(name)) + " > " + shellQuote(out)));
        ASSERT_EQ(r.status, 0) << name;
        auto lint = runCommand("xmllint --noout " + shellQuote(out) + " 2>&1");
        EXPECT_EQ(lint.status, 0) << name << lint.out;
    }
}

TEST(OrvterXmlFmt, RefusedFilesFailWithTheirReason) {
    orvtest::TempDir dir;
    const std::string bad = dir.path("bad.xml");
    const std::string text = "<r><b></c></r>";
    orvtest::writeFile(bad, std::vector<uint8_t>(text.begin(), text.end()));
    orvtest::writeFile(dir.path("empty.xml"), {});
    const struct {
        std::string args;
        int status;
        std::string out;
    } cases[] = {
        {"xml fmt " + shellQuote(bad) + " 2>/dev/null", 1,
         "ERROR: Can't find a end tag for <b>.\n"},
        {"xml fmt " + shellQuote(dir.path("missing.xml")) + " 2>&1", 1,
         "orvter: " + dir.path("missing.xml") + ": cannot be read\n"},
        {"xml fmt " + shellQuote(dir.path("empty.xml")) + " 2>&1", 1,
         "orvter: " + dir.path("empty.xml") + ": empty file\n"},
        {"xml fmt 2>/dev/null", 2, ""},
    };
    for (const auto& c : cases) {
        auto r = runCommand(orvter(c.args));
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
    // Nothing on standard error when the parser has already explained.
    auto r = runCommand(orvter("xml fmt " + shellQuote(bad) + " 2>&1 >/dev/null"));
    EXPECT_EQ(r.out, "");
}

}  // namespace

namespace {

TEST(OrvterXmlGetSet, SetThenGetReturnsTheValueAndTheFileStaysWellFormed) {
    if (!haveXmlData()) GTEST_SKIP() << "shared XML samples not found";
    orvtest::TempDir dir;
    const std::string copy = dir.path("project.xml");
    const auto original = orvtest::readFile(xmlData("project.xml"));
    orvtest::writeFile(copy, original);
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
        {"Layer 'a<b' --attr note", "Layer --attr note", "a<b\n"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(runCommand(orvter("xml set " + f + " " + c.set)).status, 0) << c.set;
        auto r = runCommand(orvter("xml get " + f + " " + c.get));
        EXPECT_EQ(r.status, 0) << c.get;
        EXPECT_EQ(r.out, c.printed) << c.get;
    }
    auto lint = runCommand("xmllint --noout " + f + " 2>&1");
    EXPECT_EQ(lint.status, 1);  // the attribute value holds markup: nothing is escaped
    ASSERT_EQ(runCommand(orvter("xml set " + f + " Layer plain --attr note")).status, 0);
    lint = runCommand("xmllint --noout " + f + " 2>&1");
    EXPECT_EQ(lint.status, 0) << lint.out;

    // -o leaves the input alone.
    const std::string other = dir.path("other.xml");
    orvtest::writeFile(copy, original);
    ASSERT_EQ(runCommand(orvter("xml set " + f + " Name n -o " + shellQuote(other))).status, 0);
    EXPECT_EQ(orvtest::readFile(copy), original);
    EXPECT_EQ(runCommand(orvter("xml get " + shellQuote(other) + " Name")).out, "n\n");
}

TEST(OrvterXmlGetSet, MissesAndRefusalsFailWithoutWriting) {
    if (!haveXmlData()) GTEST_SKIP() << "shared XML samples not found";
    orvtest::TempDir dir;
    const std::string copy = dir.path("project.xml");
    const auto original = orvtest::readFile(xmlData("project.xml"));
    orvtest::writeFile(copy, original);
    const std::string f = shellQuote(copy);
    const std::string bad = dir.path("bad.xml");
    const std::string text = "<r><b></c></r>";
    orvtest::writeFile(bad, std::vector<uint8_t>(text.begin(), text.end()));
    const struct {
        std::string args;
        int status;
        std::string out;
    } cases[] = {
        {"xml get " + f + " Nope 2>&1", 1,
         "orvter: Nope: no element at this path in " + copy + "\n"},
        {"xml set " + f + " Nope v 2>&1", 1,
         "orvter: Nope: no element at this path in " + copy + "\n"},
        {"xml get " + f + " '' 2>&1", 1, "orvter: : no element at this path in " + copy + "\n"},
        {"xml get " + shellQuote(bad) + " b 2>/dev/null", 1,
         "ERROR: Can't find a end tag for <b>.\n"},
        {"xml set " + f + " Name v -o /no/such/dir/x.xml 2>&1", 1,
         "orvter: /no/such/dir/x.xml: cannot be written\n"},
        {"xml get " + f + " Origin --attr nope", 0, "\n"},
        {"xml get " + f + " Layers", 0, "\n"},  // no text: an empty line
    };
    for (const auto& c : cases) {
        auto r = runCommand(orvter(c.args));
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
    EXPECT_EQ(orvtest::readFile(copy), original);
}

}  // namespace
