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
