#include <gtest/gtest.h>

#include "tests/xml/XmlTestSupport.h"

using orvtest::OwnedTree;

class ElementTest : public orvtest::CountedTest {};

TEST_F(ElementTest, NewElementIsEmpty) {
    OwnedTree e;
    EXPECT_EQ(e->getTagName(), "");
    EXPECT_EQ(e->getText(), "");
    EXPECT_EQ(e->getAttrText(), "");
    EXPECT_EQ(e->getLevel(), 0);
    EXPECT_EQ(e->getParent(), nullptr);
    EXPECT_EQ(e->getNextSibling(), nullptr);
    EXPECT_EQ(e->getChildCount(), 0);
    EXPECT_EQ(e->getChild(0), nullptr);
    orv::OrvPtr<orv::OrvXmlElemArray> kids(e->getChildren());
    EXPECT_EQ(kids->size(), 0);
}

TEST_F(ElementTest, ChildrenAreLinkedInOrder) {
    OwnedTree root;
    root->setLevel(2);
    IOrvXmlElem* a = root->addChild("A", "");
    IOrvXmlElem* b = root->appendChild("B", "x");
    IOrvXmlElem* c = root->addChild("C", "");
    EXPECT_EQ(a->getNextSibling(), b);
    EXPECT_EQ(b->getNextSibling(), c);
    EXPECT_EQ(c->getNextSibling(), nullptr);
    for (IOrvXmlElem* e : {a, b, c}) {
        EXPECT_EQ(e->getParent(), root.get());
        EXPECT_EQ(e->getLevel(), 3);
    }
    EXPECT_EQ(root->getChild(1), b);
    EXPECT_EQ(root->getChild(3), nullptr);
    EXPECT_EQ(root->getChild(-1), nullptr);
    // The plain-string form without text leaves the child without one.
    DOMElement* d = root->addChild("D", nullptr);
    EXPECT_FALSE(d->hasText());
    EXPECT_EQ(root->addChild(static_cast<const char*>(nullptr), "t"), nullptr);
}

TEST_F(ElementTest, AttributesAreKeptInNameOrder) {
    OwnedTree e;
    e->setAttr("b", "2");
    e->setAttr("a", "1");
    e->setAttr("b", "3");
    e->setAttr("ab", "");
    e->setAttr(std::string("\xe9"), "hi");  // bytes sort as unsigned values
    EXPECT_EQ(e->getAttrText(), " a =\"1\" ab =\"\" b =\"3\" \xe9 =\"hi\"");
    EXPECT_EQ(e->getAttr("b"), "3");
    EXPECT_EQ(e->getAttr("ab"), "");
    EXPECT_EQ(e->getAttr("never"), "");
    e->setAttr(nullptr, "v");  // the plain forms ignore nulls
    e->setAttr("z", nullptr);
    std::string out = "stale";
    e->getAttr(nullptr, out);
    EXPECT_EQ(out, "");
    EXPECT_EQ(e->getAttr("z"), "");
}

TEST_F(ElementTest, FindChildSearchesDirectChildrenOrTheWholeSubtreeInDocumentOrder) {
    OwnedTree root;
    root->setTagName("x");
    IOrvXmlElem* a = root->addChild("a", "");
    IOrvXmlElem* deep = a->addChild("b", "")->addChild("x", "first");
    a->addChild("x", "second");
    IOrvXmlElem* direct = root->addChild("x", "third");
    EXPECT_EQ(root->findChild("x", false), direct);
    EXPECT_EQ(root->findChild("x", true), deep);
    EXPECT_EQ(a->findChild("x", false)->getText(), "second");
    EXPECT_EQ(root->findChild("nope", true), nullptr);
    EXPECT_EQ(deep->findChild("x", true), nullptr);  // never the element itself
}

TEST_F(ElementTest, ChildQueriesAndRemoval) {
    OwnedTree root;
    IOrvXmlElem* x1 = root->addChild("x", "1");
    root->addChild("y", "");
    IOrvXmlElem* x2 = root->addChild("x", "2");
    {
        orv::OrvPtr<orv::OrvXmlElemArray> xs(root->getChildrenByTag("x"));
        ASSERT_EQ(xs->size(), 2);
        EXPECT_EQ(xs->at(0), x1);
        EXPECT_EQ(xs->at(1), x2);
        EXPECT_EQ(x1->referenceCount(), 3);  // the list, y's previous link, the array
    }
    EXPECT_TRUE(root->hasChild("y"));
    EXPECT_FALSE(root->hasChild(nullptr));
    EXPECT_EQ(root->getOrAddChild("z"), root->getOrAddChild("z"));
    EXPECT_EQ(root->getChildCount(), 4);
    EXPECT_EQ(root->getOrAddChild(nullptr), nullptr);

    // Removed children stay chained by their sibling links: the test frees the chain itself.
    orv::OrvPtr<IOrvXmlElem> firstRemoved(x1);
    EXPECT_EQ(root->removeChildAt(-1), -1);
    EXPECT_EQ(root->removeChildAt(root->getChildCount()), -1);
    EXPECT_EQ(root->removeChild("x"), 3);  // the first x only
    EXPECT_EQ(root->getChild(0)->getTagName(), "y");
    EXPECT_EQ(root->getChild(1), x2);
    EXPECT_EQ(root->removeChild("nope"), -1);
    EXPECT_EQ(root->removeChild(nullptr), -1);
    EXPECT_EQ(root->removeAllChildren(), 0);
    EXPECT_EQ(root->getChildCount(), 0);
    orv::releaseXmlTree(firstRemoved.get());

    OwnedTree one;
    one->addChild("only", "");
    EXPECT_EQ(one->removeChildAt(0), 0);
}

TEST_F(ElementTest, RemovalLeavesSiblingLinksUntilTheNextAppend) {
    OwnedTree root;
    IOrvXmlElem* a = root->addChild("A", "");
    IOrvXmlElem* b = root->addChild("B", "");
    IOrvXmlElem* c = root->addChild("C", "");
    root->removeChildAt(1);
    EXPECT_EQ(a->getNextSibling(), b);  // the link still holds B alive
    IOrvXmlElem* d = root->addChild("D", "");
    EXPECT_EQ(c->getNextSibling(), d);
    EXPECT_EQ(a->getNextSibling(), b);
}

TEST_F(ElementTest, SetParentChangesOnlyTheLink) {
    OwnedTree root, other;
    IOrvXmlElem* child = root->addChild("c", "");
    EXPECT_EQ(child->setParent(nullptr), -1);
    EXPECT_EQ(child->getParent(), root.get());
    EXPECT_EQ(child->setParent(other.get()), 0);
    EXPECT_EQ(child->getParent(), other.get());
    EXPECT_EQ(other->getChildCount(), 0);
    EXPECT_EQ(root->getChildCount(), 1);
}

TEST_F(ElementTest, WritesTheWorkedExampleExactly) {
    OwnedTree doc;
    doc->setTagName("doc");
    doc->setAttr("v", "1");
    doc->addChild("item", "42");
    doc->addChild("none", nullptr);
    std::string out = "abc";
    EXPECT_EQ(doc->writeXml(out), 0);
    EXPECT_EQ(out,
              "abc<doc v =\"1\">\r\n"
              "    <item>42</item>\r\n"
              "    <none>\r\n"
              "    </none>\r\n"
              "</doc>\r\n");
}

TEST_F(ElementTest, WriterHonoursStoredLevelsAndTexts) {
    OwnedTree root;
    root->setTagName("r");
    root->setLevel(-3);
    DOMElement* a = root->addChild("a", "");  // level -2: no indentation
    a->addChild("b", nullptr);                // level -1
    root->setTextCString("t");
    std::string out;
    root->writeXml(out);
    // Text and children: the children follow the text, the end tag follows the last child.
    EXPECT_EQ(out, "<r>t<a><b>\r\n</b>\r\n</a>\r\n</r>\r\n");
    std::string sub;
    a->addChild("c", nullptr)->setLevel(2);
    a->writeXml(sub);
    EXPECT_EQ(sub, "<a><b>\r\n</b>\r\n        <c>\r\n        </c>\r\n</a>\r\n");
}

namespace {
int stopAt7(DOMElement*, ElemQuery*) {
    return 7;
}
int countAll(DOMElement*, ElemQuery* q) {
    q->attrValue += 'x';
    return 0;
}
}  // namespace

TEST_F(ElementTest, TraverseVisitsInDocumentOrderAndStopsOnTheFirstNonZero) {
    OwnedTree root;
    root->setTagName("r");
    IOrvXmlElem* a = root->addChild("a", "");
    a->addChild("t", "")->setAttr("k", "1");
    root->addChild("t", "");
    ElemQuery q;
    EXPECT_EQ(root->traverse(stopAt7, &q), 7);
    EXPECT_EQ(root->traverse(nullptr, &q), 0);
    EXPECT_EQ(root->traverse(countAll, &q), 0);
    EXPECT_EQ(q.attrValue, "xxxx");

    ElemQuery byTag;
    byTag.tag = "t";
    EXPECT_EQ(root->traverse(matchTag, &byTag), 1);
    EXPECT_EQ(byTag.found, a->getChild(0));

    ElemQuery byAttr;
    byAttr.tag = "t";
    byAttr.attrName = "k";  // empty wanted value: the t lacking k matches
    EXPECT_EQ(root->traverse(matchTagAttr, &byAttr), 1);
    EXPECT_EQ(byAttr.found, root->getChild(1));
    byAttr.found = nullptr;
    byAttr.attrValue = "1";
    root->traverse(matchTagAttr, &byAttr);
    EXPECT_EQ(byAttr.found, a->getChild(0));
}
