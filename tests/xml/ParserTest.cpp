#include <gtest/gtest.h>

#include "tests/xml/XmlTestSupport.h"

using orvtest::captureStdout;

namespace {

class ParserTest : public orvtest::CountedTest {};

// A compact picture of a subtree: name, attributes, "=text" when present, children in braces.
std::string shape(const DOMElement* e) {
    std::string s = e->tag();
    for (const auto& [n, v] : e->attrItems())
        s += "[" + std::string(n) + "=" + std::string(v) + "]";
    if (e->hasText()) s += "=" + std::string(e->textPtr());
    if (e->childCount() > 0) {
        s += "{";
        for (size_t i = 0; i < e->childCount(); ++i) s += (i ? "," : "") + shape(e->childAt(i));
        s += "}";
    }
    return s;
}

struct Outcome {
    int result;
    std::string printed;
    std::string tree;
};

Outcome load(const std::string& text) {
    auto doc = orvtest::newDocument();
    Outcome o;
    o.printed =
        captureStdout([&] { o.result = doc->loadString(text, static_cast<int>(text.size())); });
    o.tree = shape(doc->getRootImp());
    return o;
}

}  // namespace

TEST_F(ParserTest, AcceptedSubsetGivesItsTrees) {
    const struct {
        const char* text;
        const char* tree;
    } cases[] = {
        {"<a></a>", "a"},
        {"<?xml version=\"1.0\"?>\r\n<r>\r\n  <b/>\r\n</r>\r\n", "r{b}"},
        {"<r a=\"1\"></r>", "r"},  // the root's attributes are discarded
        {"<r><b x = \" 1 \" y='2'/></r>", "r{b[x=1][y=2]}"},
        {"<r><b x=\"1\" x=\"2\"/></r>", "r{b[x=1]}"},
        {"<r><b y=\"2\"x=\"1\"/></r>", "r{b[x=1][y=2]}"},  // no space needed between attributes
        {"<r><b x=\"a' /></r>", "r{b[x=a]}"},              // quote kinds are not paired
        {"<r>  hello  \r\n</r>", "r=hello  \r\n"},
        {"<r>x<b/>y</r>", "r=y{b}"},
        {"<r><></></r>", "r{}"},
        {"<r><a>1<b>2</b></a><c/></r>trailing <junk", "r{a=1{b=2},c}"},
        {"<r><p:q>&lt;</p:q></r>", "r{p:q=&lt;}"},
        {"<r><b\tk=\"v\"/></r>", "r{b[k=v]}"},
        {"<r><b =\"v\"/></r>", "r{b[=v]}"},
    };
    for (const auto& c : cases) {
        const Outcome o = load(c.text);
        EXPECT_EQ(o.result, 0) << c.text;
        EXPECT_EQ(o.printed, "") << c.text;
        EXPECT_EQ(o.tree, c.tree) << c.text;
    }
}

TEST_F(ParserTest, RefusedTextsPrintTheirMessage) {
    const struct {
        const char* text;
        const char* printed;
        const char* tree;  // what stays built
    } cases[] = {
        {"", "ERROR: It is not XML Document.\n", ""},
        {"<?xml version=\"1.0\"?> no root", "ERROR: It is not XML Document.\n", ""},
        {"<r", "ERROR: There is no tag name int the XML root.\n", ""},
        {"<>", "ERROR: There is no tag name int the XML root.\n", ""},
        {"<?xml version=\"1.0\"?><r><?x?><a/></r>", "ERROR: Root tag nomatch.\n", "a/"},
        {"<!-- c --><r></r>", "ERROR: Root tag nomatch.\n", "!--"},
        {"<r\ta=\"1\"></r>", "ERROR: Root tag nomatch.\n", "r\ta=\"1\""},
        {"<r><b></c></r>", "ERROR: Can't find a end tag for <b>.\n", "r{b}"},
        {"<r><b></b ></r>", "ERROR: Can't find a end tag for <b>.\n", "r{b}"},
        {"<r x=\"/r\"><b>", "Error: without a finish tag for <b>.\n", "r{b}"},
        {"<r x=\"/r\"><b>\r\n", "Error: Without a finish tag for <b>.\n", "r{b}"},
        {"<r x=\"/r\"><b>text", "Error: Without a finish tag for <b>.\n", "r{b}"},
        {"<r><b>x</r", "Error: Without a finish tag for <b>.\n", "r{b}"},
        {"<r><b x></b></r>", "", "r{}"},  // malformed attributes: silent
        {"<r><a k=\"1\" b></a></r>", "", "r{[k=1]}"},
        {"<r><a k=\"1></a></r>", "", "r{}"},
        {"<r><a k=1></a></r>", "", "r{}"},
    };
    for (const auto& c : cases) {
        const Outcome o = load(c.text);
        EXPECT_EQ(o.result, -1) << c.text;
        EXPECT_EQ(o.printed, c.printed) << c.text;
        EXPECT_EQ(o.tree, c.tree) << c.text;
    }
}

TEST_F(ParserTest, DeclarationValuesComeFromTheQuotesAfterTheirEqualsSign) {
    const struct {
        const char* text;
        int declResult;
        const char* version;
        const char* encoding;
    } cases[] = {
        {"<a></a>", -1, "1.0", "GB2312"},
        {"<root version=\"2\"></root>", -1, "2", "GB2312"},
        {"<?xml version='1.0' encoding='UTF-8'?><r a=\"x\"></r>", 0, "1.0", "UTF-8"},
        {"<?xml version=\"1.1\" encoding=\"UTF-8\"?><r></r>", 0, "1.1", "UTF-8"},
        {"<?xml version = \"1.1\"\tencoding\r\n=\t'UTF-8'?><r></r>", 0, "1.1", "UTF-8"},
        {"<?xml version='1.0\" encoding=\"x'?><r></r>", 0, "1.0\" encoding=\"x", "GB2312"},
        {"<r version=1 encoding=2 a=\"x\"></r>", 0, "1.0", "GB2312"},
        {"<r version=\"1 encoding=\"2></r>", 0, "1 encoding=", "GB2312"},
        {"<r versions=\"3\" encoding></r>", 0, "1.0", "GB2312"},
        {"<r version=", -1, "1.0", "GB2312"},
    };
    for (const auto& c : cases) {
        auto doc = orvtest::newDocument();
        doc->xmlText = c.text;
        EXPECT_EQ(doc->readDeclaration(), c.declResult) << c.text;
        EXPECT_EQ(doc->version, c.version) << c.text;
        EXPECT_EQ(doc->encoding, c.encoding) << c.text;
    }
}

TEST_F(ParserTest, LoadingTwiceAppendsAndKeepsDeclaration) {
    auto doc = orvtest::newDocument();
    ASSERT_EQ(doc->loadString("<?xml version=\"1.1\" encoding=\"UTF-8\"?><r>t<a/></r>", 0), 0);
    ASSERT_EQ(doc->loadString("<q><b/></q>", 0), 0);
    EXPECT_EQ(shape(doc->getRootImp()), "q=t{a,b}");
    EXPECT_EQ(doc->getVersion(), "1.1");
    EXPECT_EQ(doc->encoding, "UTF-8");
    EXPECT_EQ(doc->parseText(nullptr, 0), -1);
    EXPECT_EQ(doc->getString(), "<q><b/></q>");
}

TEST_F(ParserTest, MemberScannersWorkAlone) {
    auto doc = orvtest::newDocument();
    doc->xmlText = "  text \r\n<tag a='1'>rest";
    std::string tag, text;
    EXPECT_EQ(doc->nextTag(tag, text), 0);
    EXPECT_EQ(tag, "tag a='1'");
    EXPECT_EQ(text, "text \r\n");
    EXPECT_EQ(doc->cursor, 20u);
    EXPECT_EQ(doc->nextTag(tag, text), -1);
    EXPECT_EQ(doc->cursor, 20u);

    orv::xml::AttrMap attrs;
    std::string name;
    // A double quote is always preferred: b takes the value quoted for the second a.
    EXPECT_EQ(doc->parseTag("  n  a=\"1\" b='2' a=\"3\" ", name, attrs), 2);
    EXPECT_EQ(name, "n");
    EXPECT_EQ(attrs.size(), 2u);
    EXPECT_STREQ(attrs.find("a"), "1");
    EXPECT_STREQ(attrs.find("b"), "3");
    EXPECT_EQ(doc->parseTag(nullptr, name, attrs), -1);
    EXPECT_EQ(doc->parseChildren(nullptr), -1);
}

// A tag in a document is read from memory that runs on past it; alone, its bytes end with it.
// Both must cut it the same way, whatever its length.
TEST_F(ParserTest, TagsReadAloneAndInADocumentAgree) {
    std::vector<std::string> tags = {
        "b x=\"1\"",
        "b x = \" 1 \" y='2'",
        "b y=\"2\"x=\"1\"",
        "b x=\"a' ",
        "b\tk=\"v\"",
        "b =\"v\"",
        "b x",
        "a k=\"1\" b",
        "a k=\"1",
        "a k=1",
        "n  a=\"1\" b='2' a=\"3\" ",
        "q\r\n a='x\"y' b=\"z\"",
    };
    for (size_t n = 0; n <= 72; ++n) {
        const std::string fill(n, 'x');
        tags.push_back("t v=\"" + fill + "\" w='" + std::string(n % 5, ' ') + "1'");
        tags.push_back("t" + fill);
        tags.push_back("t " + fill + "=\"1");
    }
    auto doc = orvtest::newDocument();
    for (const std::string& tag : tags) {
        std::string name;
        orv::xml::AttrMap attrs;
        const int alone = doc->parseTag(tag.c_str(), name, attrs);
        std::string expected = alone < 0 ? "" : name;
        for (const auto& [k, v] : attrs.items())
            expected += "[" + std::string(k) + "=" + std::string(v) + "]";
        const Outcome o = load("<r><" + tag + "/></r>" + std::string(100, ' '));
        EXPECT_EQ(o.result, alone < 0 ? -1 : 0) << tag;
        EXPECT_EQ(o.tree, "r{" + expected + "}") << tag;
    }
}

TEST_F(ParserTest, FilesLoadUpToTheirFirstNul) {
    orvtest::TempDir dir;
    auto doc = orvtest::newDocument();
    std::string printed = captureStdout([&] {
        EXPECT_EQ(doc->loadFile(dir.path("missing.xml")), -1);
        orvtest::writeFile(dir.path("empty.xml"), {});
        EXPECT_EQ(doc->loadFile(dir.path("empty.xml")), -1);
        EXPECT_EQ(doc->loadFile(dir.path("")), -1);  // a folder
    });
    EXPECT_EQ(printed, "");
    const std::string text = "<r><a/></r>";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    for (char c : std::string("<b/>")) bytes.push_back(static_cast<uint8_t>(c));
    orvtest::writeFile(dir.path("nul.xml"), bytes);
    EXPECT_EQ(doc->loadFile(dir.path("nul.xml")), 0);
    EXPECT_EQ(doc->getString(), text);
    EXPECT_EQ(shape(doc->getRootImp()), "r{a}");
}

// Files are read in pieces: a "?>" or a zero byte on a piece's edge must be found as in a text
// loaded whole.
TEST_F(ParserTest, FilesLoadAsTheirTextWhereverItsMarksFall) {
    constexpr size_t kPiece = size_t{256} << 10;
    // `head`, spaces, then `tail` whose byte `at` lands on position `where`.
    const auto placed = [](const std::string& head, size_t where, const std::string& tail,
                           size_t at) {
        return head + std::string(where - head.size() - at, ' ') + tail;
    };
    const std::string nul(1, '\0');
    const std::string texts[] = {
        placed("<?pi", kPiece, "?><r><a/></r>", 1),             // "?" | ">"
        placed("<?pi", kPiece, "?><r><a/></r>", 0),             // "?>" on the next piece
        placed("<r><a/></r><?x", kPiece, "?><b/>", 1),          // the last "?>" after the root
        placed("<r><a/></r>", kPiece, nul + "?><b/>", 0),       // zero byte starts a piece
        placed("<r><a/></r>", kPiece, "?" + nul + "><b/>", 1),  // zero byte between "?" ">"
        placed("<r><a/>", 2 * kPiece + 7, "</r>" + nul + "<?x?>", 4),
        "<r></r>?",
    };
    orvtest::TempDir dir;
    for (const std::string& text : texts) {
        orvtest::writeFile(dir.path("t.xml"), std::vector<uint8_t>(text.begin(), text.end()));
        const std::string whole = text.substr(0, text.find('\0'));
        auto fromFile = orvtest::newDocument();
        int fileResult = 0;
        const std::string filePrinted =
            captureStdout([&] { fileResult = fromFile->loadFile(dir.path("t.xml")); });
        const Outcome expected = load(whole);
        EXPECT_EQ(fileResult, expected.result) << text.size();
        EXPECT_EQ(filePrinted, expected.printed) << text.size();
        EXPECT_EQ(shape(fromFile->getRootImp()), expected.tree) << text.size();
        EXPECT_EQ(fromFile->getString(), whole) << text.size();
    }
}
