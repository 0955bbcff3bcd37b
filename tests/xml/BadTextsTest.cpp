// Broken and extreme XML texts, each with its exact outcome through document load (from a
// string and from a file), compose, and the packet's path operations. No crash, no leak.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "OrvXmlEdit.h"
#include "OrvXmlPack.h"
#include "tests/xml/XmlTestSupport.h"

namespace {

using namespace std::string_literals;

class BadTexts : public orvtest::CountedTest {
protected:
    struct Loaded {
        int fromString = 0;
        int fromFile = 0;
        int intoPacket = 0;
        std::string printed;  // what the string load printed
        int quietly = 0;      // the same load printing nothing, its reason as data
        orv::XmlError error;
        std::string printedQuietly;
    };

    // Loads `text` three ways; each must agree with the others.
    Loaded load(const std::string& text) {
        Loaded r;
        r.printed = orvtest::captureStdout([&] {
            orv::OrvPtr<IOrvXmlDoc> doc = newOrvXmlDoc();
            r.fromString = doc->loadString(text, static_cast<int>(text.size()));
        });
        r.printedQuietly = orvtest::captureStdout([&] {
            orv::OrvPtr<IOrvXmlDoc> doc = newOrvXmlDoc();
            r.quietly = orv::loadXmlString(doc.get(), text, &r.error);
        });
        orvtest::writeText(dir.path("in.xml"), text);
        orvtest::captureStdout([&] {
            orv::OrvPtr<IOrvXmlDoc> doc = newOrvXmlDoc();
            r.fromFile = doc->loadFile(dir.path("in.xml"));
            doc->buildString(doc->getRoot());  // composing whatever was built never fails
            orv::OrvPtr<IOrvXmlPack> pack = newOrvXmlPack();
            r.intoPacket = pack->loadString(text, static_cast<int>(text.size()));
            pack->makePath("made/here");
            pack->getXml(pack->getDoc()->getRoot());
        });
        return r;
    }

    orvtest::TempDir dir;
};

TEST_F(BadTexts, RefusedTextsPrintTheirReason) {
    const std::string kNotXml = "ERROR: It is not XML Document.\n";
    const std::string kNoName = "ERROR: There is no tag name int the XML root.\n";
    const std::string kNoMatch = "ERROR: Root tag nomatch.\n";
    using S = orv::XmlStatus;
    const struct {
        const char* what;
        std::string text;
        std::string printed;
        S status;
        size_t offset;
    } cases[] = {
        {"empty", "", kNotXml, S::notXml, 0},
        {"only spaces", " \r\n\t", kNotXml, S::notXml, 0},
        {"only a declaration", R"(<?xml version="1.0" encoding="UTF-8"?>)", kNotXml, S::notXml, 38},
        {"only a declaration and an instruction", "<?xml version=\"1.0\"?>\r\n<?style a?>", kNotXml,
         S::notXml, 34},
        {"a lone <", "<", kNoName, S::noRootName, 0},
        {"an empty root tag", "<>a</>", kNoName, S::noRootName, 0},
        {"no end tag for the root", "<r><a/>", kNoMatch, S::rootNoMatch, 0},
        // The text ends at its first NUL, as a C string does.
        {"a NUL inside the root", "<r>a\0b</r>"s, kNoMatch, S::rootNoMatch, 0},
        {"a NUL first", "\0<r/></r>"s, kNotXml, S::notXml, 0},
        {"a NUL inside a tag", "<r><a\0/></a></r>"s, kNoMatch, S::rootNoMatch, 0},
        {"a wrong end tag", "<r><a></b></r>", "ERROR: Can't find a end tag for <a>.\n",
         S::wrongEndTag, 6},
        {"a bad attribute", "<r><a x=1/></r>", "", S::badTag, 3},
        {"no end tag inside", "<r x=\"/r\"><b>", "Error: without a finish tag for <b>.\n",
         S::unfinished, 13},
        {"no further tag inside", "<r x=\"/r\"><b>\n", "Error: Without a finish tag for <b>.\n",
         S::noFinishTag, 13},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Loaded r = load(c.text);
        EXPECT_EQ(r.fromString, -1);
        EXPECT_EQ(r.fromFile, -1);
        EXPECT_EQ(r.intoPacket, -1);
        EXPECT_EQ(r.printed, c.printed);
        // Beside the printing loaders: the same refusal, as data, and nothing printed.
        EXPECT_EQ(r.quietly, -1);
        EXPECT_EQ(r.printedQuietly, "");
        EXPECT_EQ(r.error.text.empty() ? "" : r.error.text + "\n", c.printed);
        EXPECT_EQ(r.error.status, c.status);
        EXPECT_EQ(r.error.offset, c.offset);
    }
}

TEST_F(BadTexts, ADocumentCutAtAnyPositionIsRefused) {
    const std::string whole =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<r x=\"1\">\r\n<a>t</a><b y='2'/>"
        "<c><d>u</d></c></r>\r\n";
    ASSERT_EQ(load(whole).fromString, 0);
    const size_t end = whole.find("</r>") + 4;  // what follows the root is never looked at
    for (size_t size = 0; size < end; ++size) {
        SCOPED_TRACE(whole.substr(0, size));
        const Loaded r = load(whole.substr(0, size));
        EXPECT_EQ(r.fromString, -1);
        EXPECT_EQ(r.fromFile, -1);
        EXPECT_EQ(r.intoPacket, -1);
        // One line, one of the parser's messages.
        ASSERT_FALSE(r.printed.empty());
        EXPECT_EQ(std::count(r.printed.begin(), r.printed.end(), '\n'), 1) << r.printed;
        EXPECT_TRUE(r.printed.rfind("ERROR: ", 0) == 0 || r.printed.rfind("Error: ", 0) == 0)
            << r.printed;
    }
}

TEST_F(BadTexts, TextAfterAWholeRootOrANulIsIgnored) {
    const std::string texts[] = {"<r><e k='v'/>a</r>\0<x>"s, "<r><e k='v'/>a</r><<<>>"s,
                                 "<r><e k='v'/>a</r>"s + std::string(100, '\0')};
    for (const std::string& text : texts) {
        const Loaded r = load(text);
        EXPECT_EQ(r.fromString, 0);
        EXPECT_EQ(r.fromFile, 0);
        orv::OrvPtr<IOrvXmlPack> pack = newOrvXmlPack();
        ASSERT_EQ(pack->loadString(text, static_cast<int>(text.size())), 0);
        EXPECT_EQ(pack->getDoc()->getRoot()->getText(), "a");
        EXPECT_EQ(pack->getAttr("/e", "k"), "v");
        EXPECT_EQ(pack->getDoc()->getRoot()->getChildCount(), 1);
    }
}

TEST_F(BadTexts, ADocumentNested100000DeepLoadsComposesAndIsWalked) {
    constexpr size_t kDepth = 100000;
    std::string text;
    for (size_t i = 0; i < kDepth; ++i) text += "<a>";
    text += "<leaf k=\"v\">deep</leaf>";
    for (size_t i = 0; i < kDepth; ++i) text += "</a>";

    orv::OrvPtr<IOrvXmlPack> pack = newOrvXmlPack();
    ASSERT_EQ(pack->loadString(text, 0), 0);
    EXPECT_EQ(pack->getText("leaf"), "deep");
    EXPECT_EQ(pack->getAttr("leaf", "k"), "v");
    EXPECT_EQ(pack->setAttr("a/leaf", "k", "w"), 0);
    EXPECT_EQ(pack->getAttr("/a/a/leaf", "k"), "w");
    EXPECT_EQ(pack->findElem("leaf")->getLevel(), static_cast<int>(kDepth));
    IOrvXmlElem* made = pack->makePath("leaf/x/y");
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->getLevel(), static_cast<int>(kDepth) + 2);
    EXPECT_EQ(pack->findElem("nothing"), nullptr);
    EXPECT_EQ(pack->getText("leaf/nothing"), "");

    // Indentation stops at 64 levels: the composed text grows linearly with the depth.
    const std::string composed = pack->getXml(pack->getDoc()->getRoot());
    const size_t perLevel = 2 * 64 * 4 + 11;  // "<a>\r\n" and "</a>\r\n" with full indentation
    EXPECT_LT(composed.size(), (kDepth + 10) * perLevel);
    EXPECT_GT(composed.size(), kDepth * 11);
    EXPECT_NE(composed.find("\n" + std::string(256, ' ') + "<leaf k =\"w\">deep"),
              std::string::npos);
    orv::OrvPtr<IOrvXmlDoc> again = newOrvXmlDoc();
    ASSERT_EQ(again->loadString(composed, 0), 0);
    EXPECT_EQ(again->getRoot()->findChild("y", true)->getLevel(), static_cast<int>(kDepth) + 2);
}

TEST_F(BadTexts, OneElementWith100000AttributesKeepsThemAll) {
    constexpr int kCount = 100000;
    // On a child: the root tag's attributes are not read.
    std::string text = "<r><e";
    for (int i = 0; i < kCount; ++i)
        text += " a" + std::to_string(i) + "=\"" + std::to_string(i * 3) + "\"";
    text += ">t</e></r>";

    orv::OrvPtr<IOrvXmlPack> pack = newOrvXmlPack();
    ASSERT_EQ(pack->loadString(text, 0), 0);
    for (int i : {0, 1, 4999, 77777, kCount - 1})
        EXPECT_EQ(pack->getAttr("e", "a" + std::to_string(i)), std::to_string(i * 3));
    EXPECT_EQ(pack->getAttr("/r", "a100000"), "");
    EXPECT_EQ(pack->setAttr("e", "a5", "new"), 0);
    EXPECT_EQ(pack->setAttr("e", "b", "added"), 0);
    EXPECT_EQ(pack->getText("e"), "t");

    const std::string composed = pack->getXml(pack->getDoc()->getRoot());
    // Two '=' in the declaration, one for each attribute.
    EXPECT_EQ(std::count(composed.begin(), composed.end(), '='), kCount + 1 + 2);
    orv::OrvPtr<IOrvXmlPack> again = newOrvXmlPack();
    ASSERT_EQ(again->loadString(composed, 0), 0);
    EXPECT_EQ(again->getAttr("e", "a5"), "new");
    EXPECT_EQ(again->getAttr("e", "b"), "added");
    EXPECT_EQ(again->getAttr("e", "a99999"), std::to_string(99999 * 3));
}

TEST_F(BadTexts, ATagOf1MiB) {
    const std::string name(1 << 20, 'n');
    {
        const std::string text = "<r><" + name + " k='v'>t</" + name + "></r>";
        orv::OrvPtr<IOrvXmlPack> pack = newOrvXmlPack();
        ASSERT_EQ(pack->loadString(text, 0), 0);
        EXPECT_EQ(pack->getText(name), "t");
        EXPECT_EQ(pack->getAttr("/" + name, "k"), "v");
        EXPECT_EQ(pack->findElem(name)->getTagName().size(), name.size());
        ASSERT_NE(pack->makePath(name + "/" + name), nullptr);
        const std::string composed = pack->getXml(pack->getDoc()->getRoot());
        EXPECT_GT(composed.size(), 4 * name.size());
        EXPECT_LT(composed.size(), 4 * name.size() + 200);
    }
    {
        // As the root, and never closed: refused with the name in the message.
        const Loaded r = load("<" + name + "><a>");
        EXPECT_EQ(r.fromString, -1);
        EXPECT_EQ(r.fromFile, -1);
        EXPECT_EQ(r.printed, "ERROR: Root tag nomatch.\n");
        const Loaded inner = load("<r><" + name + ">x</r>");
        EXPECT_EQ(inner.fromString, -1);
        EXPECT_EQ(inner.printed, "ERROR: Can't find a end tag for <" + name + ">.\n");
    }
}

}  // namespace
