#include <gtest/gtest.h>

#include "OrvXmlEdit.h"
#include "OrvXmlPack.h"
#include "packet/CPacket.h"
#include "tests/xml/XmlTestSupport.h"

namespace {

using namespace std::string_literals;

class PacketTest : public orvtest::CountedTest {
protected:
    orv::OrvPtr<IOrvXmlPack> pack;
    void SetUp() override {
        CountedTest::SetUp();
        pack = newOrvXmlPack();
    }
    void TearDown() override {
        pack = nullptr;
        CountedTest::TearDown();
    }
    void load(const std::string& text) { ASSERT_EQ(pack->loadString(text, 0), 0) << text; }
    std::string tagOf(IOrvXmlElem* e) { return e ? e->getTagName() + "=" + e->getText() : "null"; }
};

// r holds a (holding c) and b; c and b carry their names as texts.
const char* kTree = "<r><a><c>c</c></a><b>b</b><a><c>c2</c></a></r>";

}  // namespace

TEST_F(PacketTest, FreshPacketResolvesNothingAndSetsTheCursorToTheRoot) {
    EXPECT_EQ(pack->getCurrent(), nullptr);
    EXPECT_EQ(pack->findElem("a"), nullptr);
    ASSERT_NE(pack->getCurrent(), nullptr);
    EXPECT_EQ(pack->getCurrent(), pack->getDoc()->getRoot());
    EXPECT_EQ(pack->makePath("./"), pack->getCurrent());
    auto fresh = orv::OrvPtr<IOrvXmlPack>(newOrvXmlPack());
    EXPECT_EQ(fresh->makePath("./"), nullptr);
    EXPECT_EQ(fresh->nextSibling(true), nullptr);
    EXPECT_EQ(fresh->findSibling("x", "", ""), nullptr);
}

TEST_F(PacketTest, SegmentsMatchAtAnyDepthNotOnlyDirectChildren) {
    load(kTree);
    const struct {
        const char* path;
        const char* found;
    } cases[] = {
        {"/r/a/c", "c=c"}, {"c", "c=c"},  {"/a/c", "c=c"}, {"r/b", "b=b"},     {"x/c", "null"},
        {"/c", "c=c"},     {"r", "r="},   {"r/r/r", "r="}, {"a//c/", "c=c"},   {"", "null"},
        {"/", "null"},     {"\\a", "a="}, {"b/c", "null"}, {"/r/c/a", "null"},
    };
    for (const auto& c : cases) EXPECT_EQ(tagOf(pack->findElem(c.path)), c.found) << c.path;
    // Relative paths start at the cursor, which a segment may match itself.
    IOrvXmlElem* a = pack->findElem("a");
    ASSERT_EQ(pack->setCurrent(a), 0);
    EXPECT_EQ(pack->findElem("a"), a);
    EXPECT_EQ(pack->findElem("a/a"), a);
    EXPECT_EQ(pack->findElem("b"), nullptr);  // b is not below the cursor
    EXPECT_EQ(tagOf(pack->findElem("/b")), "b=b");
    EXPECT_EQ(pack->setCurrent("nope"), -1);
    EXPECT_EQ(pack->getCurrent(), a);
    EXPECT_EQ(pack->setCurrent("/r/b"), 0);
    EXPECT_EQ(tagOf(pack->getCurrent()), "b=b");
    pack->toRoot();
    EXPECT_EQ(pack->getCurrent(), pack->getDoc()->getRoot());
    auto* impl = dynamic_cast<orv::CPacket*>(pack.get());
    pack->findElem("/r/a/c");
    EXPECT_EQ(tagOf(impl->lastFound.get()), "c=c");
    pack->findElem("/r/zz");
    EXPECT_EQ(impl->lastFound.get(), nullptr);
}

TEST_F(PacketTest, AttributeQualifiedSearchAppliesToTheLastSegmentOnly) {
    load(
        "<r><item id=\"1\">one</item><item id=\"2\">two</item><item>three</item>"
        "<box id=\"2\"><item id=\"2\">inner</item></box></r>");
    EXPECT_EQ(tagOf(pack->findElem("/r/item", "id", "2")), "item=two");
    EXPECT_EQ(pack->getText("/r/item", "id", "3"), "");
    EXPECT_EQ(pack->getText("/r/item", "id", ""), "three");  // absent reads as empty
    EXPECT_EQ(pack->getText("/r/item", "", ""), "one");
    EXPECT_EQ(pack->getText("/box/item", "id", "2"), "inner");
    EXPECT_EQ(pack->getText("/nope/item", "id", "2"), "");
}

TEST_F(PacketTest, SiblingsAreSearchedForwardOnly) {
    load("<r><item id=\"1\"/><other id=\"2\"/><item id=\"2\"/><item id=\"3\"/></r>");
    IOrvXmlElem* first = pack->findElem("item");
    IOrvXmlElem* second = pack->findElem("item", "id", "2");
    IOrvXmlElem* third = pack->findElem("item", "id", "3");
    pack->setCurrent(first);
    EXPECT_EQ(pack->findSibling("item", "id", "2"), second);
    EXPECT_EQ(pack->getCurrent(), first);
    pack->setCurrent(second);
    EXPECT_EQ(pack->findSibling("item", "id", "2"), nullptr);  // never itself
    EXPECT_EQ(pack->findSibling("item", "id", "1"), nullptr);  // never backwards
    EXPECT_EQ(pack->findSibling("item", "id", "3"), third);
    EXPECT_EQ(pack->nextSibling(false), third);
    EXPECT_EQ(pack->getCurrent(), second);
    EXPECT_EQ(pack->nextSibling(true), third);
    EXPECT_EQ(pack->getCurrent(), third);
    EXPECT_EQ(pack->nextSibling(true), nullptr);
    EXPECT_EQ(pack->getCurrent(), third);
}

TEST_F(PacketTest, MakePathLooksUpPrefixesAndAlwaysCreatesTheLastSegment) {
    IOrvXmlElem* q1 = pack->makePath("p/q");
    ASSERT_NE(q1, nullptr);
    EXPECT_EQ(q1->getTagName(), "q");
    IOrvXmlElem* p = q1->getParent();
    EXPECT_EQ(p->getTagName(), "p");
    EXPECT_EQ(p->getParent(), pack->getDoc()->getRoot());
    IOrvXmlElem* q2 = pack->makePath("p/q");
    EXPECT_NE(q2, q1);
    EXPECT_EQ(q2->getParent(), p);
    EXPECT_EQ(p->getChildCount(), 2);
    EXPECT_EQ(pack->getDoc()->getRoot()->getChildCount(), 1);
    EXPECT_EQ(pack->getText("p/q"), "");  // created without text

    IOrvXmlElem* empty = pack->makePath("a/");
    EXPECT_EQ(empty->getTagName(), "");
    EXPECT_EQ(empty->getParent()->getTagName(), "a");
    EXPECT_EQ(pack->makePath("lone")->getParent(), pack->getDoc()->getRoot());
}

TEST_F(PacketTest, MakePathFromTheRoot) {
    load("<r><x/></r>");
    IOrvXmlElem* n = pack->makePath("/r/new");
    EXPECT_EQ(n->getParent()->getTagName(), "r");
    IOrvXmlElem* y = pack->makePath("/zz/y");
    EXPECT_EQ(y->getParent()->getTagName(), "zz");
    EXPECT_EQ(y->getParent()->getParent()->getTagName(), "r");
    // A deeper existing element is reused for a prefix, wherever it sits.
    IOrvXmlElem* z = pack->makePath("/y/z");
    EXPECT_EQ(z->getParent(), y);
    EXPECT_EQ(pack->getDoc()->getRoot()->getChildCount(), 3);
}

TEST_F(PacketTest, TextsAndAttributesByPathAndByElement) {
    load("<r><a k=\"v\">old</a><b/></r>");
    EXPECT_EQ(pack->setText("nope", "1"), -1);
    EXPECT_EQ(pack->setAttr("nope", "k", "1"), -1);
    EXPECT_EQ(pack->getAttr("nope", "k"), "");
    EXPECT_EQ(pack->getText("b"), "");
    EXPECT_EQ(pack->setText("a", "new"), 0);
    EXPECT_EQ(pack->getText("a"), "new");
    EXPECT_EQ(pack->setText("b", ""), 0);
    EXPECT_EQ(pack->getXml(pack->findElem("b")),
              "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n    <b></b>\r\n");
    EXPECT_EQ(pack->getAttr("a", "k"), "v");
    EXPECT_EQ(pack->setAttr("a", "k", "w"), 0);
    EXPECT_EQ(pack->getAttr(pack->findElem("a"), "k"), "w");
    EXPECT_EQ(pack->setAttr(pack->findElem("a"), "j", "1"), 0);
    EXPECT_EQ(pack->findElem("a")->getAttrText(), " j =\"1\" k =\"w\"");
    // Whole texts, far beyond any fixed buffer.
    const std::string longText(100000, 'x');
    EXPECT_EQ(pack->setText("a", longText), 0);
    EXPECT_EQ(pack->getText("a"), longText);
    EXPECT_EQ(pack->getText("/r/a", "k", "w"), longText);
    // Foreign or null elements are no elements.
    EXPECT_EQ(pack->setText(static_cast<IOrvXmlElem*>(nullptr), "x"), -1);
    EXPECT_EQ(pack->setAttr(static_cast<IOrvXmlElem*>(nullptr), "k", "v"), -1);
    EXPECT_EQ(pack->getAttr(static_cast<IOrvXmlElem*>(nullptr), "k"), "");
    EXPECT_EQ(pack->setCurrent(static_cast<IOrvXmlElem*>(nullptr)), -1);
    EXPECT_EQ(pack->getXml(nullptr), "");
}

TEST_F(PacketTest, RootTagAndComposition) {
    EXPECT_EQ(pack->setRootTag("cfg"), 1);
    EXPECT_EQ(pack->getXml(pack->getDoc()->getRoot()),
              "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<cfg>\r\n</cfg>\r\n");
    EXPECT_EQ(pack->getDoc()->getString(), pack->getXml(pack->getDoc()->getRoot()));
}

TEST_F(PacketTest, FailedLoadStillPutsTheCursorOnTheRoot) {
    std::string printed =
        orvtest::captureStdout([&] { EXPECT_EQ(pack->loadString("<r><b></c></r>", 0), -1); });
    EXPECT_EQ(printed, "ERROR: Can't find a end tag for <b>.\n");
    EXPECT_EQ(pack->getCurrent(), pack->getDoc()->getRoot());
    EXPECT_EQ(pack->loadFile("/no/such/file.xml"), -1);
    if (orvtest::xmlDataDir().empty()) GTEST_SKIP() << "shared XML samples not found";
    ASSERT_EQ(pack->loadFile(orvtest::xmlDataDir() + "/project.xml"), 0);
    EXPECT_EQ(pack->getText("/TerrainProject/Layers/Layer/Tiles/Tile/File"),
              "tiles/ground_0_0.las");
    EXPECT_EQ(pack->getText("Layer", "name", "vegetation"), "");
    EXPECT_EQ(pack->getAttr("Style", "width"), "1");
}

// What other XML readers could not read is refused before anything changes; the rest is set
// as the packet's own setters set it.
TEST_F(PacketTest, SetValueRefusesNamesAndValuesOtherReadersCouldNotRead) {
    using orv::XmlEdit;
    const struct {
        std::string path, value;
        const char* attr;  // null: the text
        XmlEdit result;
        std::string why;
    } cases[] = {
        {"/r/b", "fish, chips; 1 > 0?", nullptr, XmlEdit::refused, "the value holds '>'..."},
        {"/r/b", "a & b", nullptr, XmlEdit::refused, "the value holds '&'..."},
        {"/r/b", "say \"hi\"\t\r\n", nullptr, XmlEdit::done, ""},
        {"/r/b", "say \"hi\"", "note", XmlEdit::refused, "the value holds '\"'..."},
        {"/r/b", "a\0b"s, nullptr, XmlEdit::refused, "the value holds the control byte 0x00..."},
        {"/r/b", "1", "_x-1.\xC3\xA9:y", XmlEdit::done, ""},
        {"/r/b", "1", "\xC3\xA9t\xC3\xA9", XmlEdit::done, ""},
        {"/r/b", "1", "", XmlEdit::refused, "an empty name is not an XML name"},
        {"/r/b", "1", "a b", XmlEdit::refused, "'a b' is not an XML name"},
        {"/r/b", "1", "-a", XmlEdit::refused, "'-a' is not an XML name"},
        {"/r/b", "1", "\xC3", XmlEdit::refused, "'\xC3' is not an XML name"},  // cut UTF-8
        {"/r/b", "1", "\xC0\xA0", XmlEdit::refused, "'\xC0\xA0' is not an XML name"},
        {"/r/new/b<", "1", nullptr, XmlEdit::refused, "'b<' is not an XML name"},
        {"/r/new/", "1", nullptr, XmlEdit::refused, "an empty name is not an XML name"},
        {"/r/new/x", "1", nullptr, XmlEdit::done, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + (c.attr ? c.attr : "(text)"));
        load(kTree);
        const std::string before = pack->getXml(pack->getDoc()->getRoot());
        std::string why;
        const std::string attr = c.attr ? c.attr : "";
        EXPECT_EQ(
            orv::setPacketValue(pack.get(), c.path, c.value, c.attr ? &attr : nullptr, true, &why),
            c.result);
        if (c.result == XmlEdit::refused) {
            const size_t dots = c.why.size() > 3 && c.why.substr(c.why.size() - 3) == "..."
                                    ? c.why.size() - 3
                                    : std::string::npos;
            EXPECT_EQ(why.substr(0, dots), c.why.substr(0, dots));
            EXPECT_EQ(pack->getXml(pack->getDoc()->getRoot()), before);
        } else {
            IOrvXmlElem* e = pack->findElem(c.path);
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(c.attr ? pack->getAttr(e, attr) : pack->getText(c.path), c.value);
        }
    }
    load(kTree);
    std::string why;
    EXPECT_EQ(orv::setPacketValue(pack.get(), "/r/none", "1", nullptr, false, &why),
              XmlEdit::notFound);
}
