// Deep nesting and long sibling chains must cost heap, never call stack.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/xml/XmlTestSupport.h"

namespace {

class DeepTreeTest : public orvtest::CountedTest {};

constexpr int kDeep = 1000000;

std::string nested(int depth) {
    std::string text;
    text.reserve(static_cast<size_t>(depth) * 7 + 16);
    for (int i = 0; i < depth; ++i) text += "<a>";
    text += "<leaf/>";
    for (int i = 0; i < depth; ++i) text += "</a>";
    return text;
}

int countVisits(DOMElement*, ElemQuery* q) {
    q->attrName.push_back('.');
    return 0;
}

}  // namespace

TEST_F(DeepTreeTest, MillionLevelDocumentLoadsIsSearchedAndReleased) {
    auto doc = orvtest::newDocument();
    ASSERT_EQ(doc->loadString(nested(kDeep), 0), 0);
    DOMElement* root = doc->getRootImp();
    IOrvXmlElem* leaf = root->findChild("leaf", true);
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->getLevel(), kDeep);
    ElemQuery q;
    q.tag = "leaf";
    EXPECT_EQ(doc->walkElements(matchTag, root, &q), 1);
    EXPECT_EQ(q.found, leaf);
    EXPECT_EQ(root->findChild("none", true), nullptr);
    doc = nullptr;  // tears the tree down
}

TEST_F(DeepTreeTest, MillionLevelTreeBuiltThroughTheApiIsReleased) {
    auto doc = orvtest::newDocument();
    IOrvXmlElem* e = doc->getRoot();
    for (int i = 0; i < kDeep; ++i) e = e->addChild("n", "");
    ElemQuery q;
    EXPECT_EQ(doc->getRootImp()->traverse(countVisits, &q), 0);
    EXPECT_EQ(q.attrName.size(), static_cast<size_t>(kDeep) + 1);
    doc = nullptr;

    // A free-standing tree is freed once its links are cleared.
    orv::OrvPtr<IOrvXmlElem> top(newOrvXmlElem());
    e = top.get();
    for (int i = 0; i < kDeep; ++i) e = e->addChild("n", "");
    EXPECT_EQ(orv::releaseXmlTree(top.get()), 0);
    EXPECT_EQ(orv::releaseXmlTree(nullptr), -1);
}

TEST_F(DeepTreeTest, MillionSiblingsAreReleasedWithoutRecursion) {
    {
        auto doc = orvtest::newDocument();
        std::string text = "<r>";
        for (int i = 0; i < kDeep; ++i) text += "<s/>";
        text += "</r>";
        ASSERT_EQ(doc->loadString(text, 0), 0);
        EXPECT_EQ(doc->getRootImp()->getChildCount(), kDeep);
    }
    // Children taken out of the list stay chained by their sibling links; clearing the chain
    // from the first frees them one by one.
    auto doc = orvtest::newDocument();
    DOMElement* root = doc->getRootImp();
    for (int i = 0; i < kDeep; ++i) root->addChild("s", nullptr);
    orv::OrvPtr<IOrvXmlElem> first(root->getChild(0));
    root->removeAllChildren();
    EXPECT_EQ(orv::releaseXmlTree(first.get()), 0);
    EXPECT_EQ(first->getNextSibling(), nullptr);
    first = nullptr;
    EXPECT_EQ(root->getChildCount(), 0);
}

TEST_F(DeepTreeTest, FiveThousandLevelsCompose) {
    constexpr int kDepth = 5000;
    auto doc = orvtest::newDocument();
    ASSERT_EQ(doc->loadString(nested(kDepth), 0), 0);
    ASSERT_EQ(doc->buildText(nullptr), 0);
    const std::string text = doc->copyText();
    // Each element writes its indentation, four spaces a level up to 64 levels, on its start and
    // its end line: the text grows linearly with the depth.
    const auto indent = [](size_t level) { return 4 * std::min<size_t>(level, 64); };
    size_t expected = std::string("<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n").size();
    for (size_t level = 0; level < kDepth; ++level) expected += 2 * indent(level) + 5 + 6;
    expected += 2 * indent(kDepth) + 8 + 9;
    EXPECT_EQ(text.size(), expected);
    EXPECT_EQ(text.substr(text.size() - 6), "</a>\r\n");
    auto back = orvtest::newDocument();
    ASSERT_EQ(back->loadString(text, 0), 0);
    EXPECT_EQ(back->getRootImp()->findChild("leaf", true)->getLevel(), kDepth);
}
