#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "tests/xml/XmlTestSupport.h"
#include "xml/XmlArray.h"

namespace {

class ArrayTest : public orvtest::CountedTest {
protected:
    void SetUp() override {
        CountedTest::SetUp();
        for (auto& e : elems) e = orv::OrvPtr<IOrvXmlElem>(newOrvXmlElem());
    }
    void TearDown() override {
        for (auto& e : elems) e = nullptr;
        CountedTest::TearDown();
    }
    IOrvXmlElem* e(int i) { return elems[static_cast<size_t>(i)].get(); }
    std::vector<int> counts() {
        std::vector<int> c;
        for (auto& x : elems) c.push_back(x->referenceCount());
        return c;
    }
    orv::OrvPtr<IOrvXmlElem> elems[4];
};

using Array = orv::OrvPtr<orv::OrvXmlElemArray>;

}  // namespace

TEST_F(ArrayTest, NewArrayHoldsNoStorage) {
    Array a(orv::newOrvXmlElemArray());
    EXPECT_EQ(a->size(), 0);
    EXPECT_EQ(a->capacity(), 0);
    EXPECT_EQ(a->getData(), nullptr);
    EXPECT_EQ(static_cast<const orv::OrvXmlElemArray*>(a.get())->getData(), nullptr);
}

TEST_F(ArrayTest, ReferenceHoldingArrayCountsWhatItHolds) {
    {
        Array a(orv::newOrvXmlElemArray());
        EXPECT_EQ(a->pushBack(e(0)), 1);
        EXPECT_EQ(e(0)->referenceCount(), 2);
        EXPECT_EQ(a->pushBack(nullptr), 2);
        EXPECT_EQ(a->insert(0, e(1)), 3);
        EXPECT_EQ(a->at(0), e(1));
        EXPECT_EQ(*a->atPtr(1), e(0));
        EXPECT_EQ(a->front(), e(1));
        EXPECT_EQ(a->back(), nullptr);
        a->popBack();  // the null entry: nothing to release
        a->popFront();
        EXPECT_EQ(e(1)->referenceCount(), 1);
        IOrvXmlElem* items[] = {e(2), e(3), e(2)};
        EXPECT_EQ(a->appendItems(items, 3), 4);
        EXPECT_EQ(a->appendItems(items, 0), 4);
        EXPECT_EQ(a->appendItems(items, -2), 4);
        EXPECT_EQ(counts(), (std::vector<int>{2, 1, 3, 2}));
        a->eraseRange(1, 3);
        EXPECT_EQ(counts(), (std::vector<int>{2, 1, 2, 1}));
        a->erase(0);
        EXPECT_EQ(counts(), (std::vector<int>{1, 1, 2, 1}));
        a->pushBack(e(0));
    }
    EXPECT_EQ(counts(), (std::vector<int>{1, 1, 1, 1}));  // the array went, and released all
}

TEST_F(ArrayTest, EveryPreconditionThrowsBeforeAnythingChanges) {
    Array a(orv::newOrvXmlElemArray());
    Array empty(orv::newOrvXmlElemArray());
    for (int i = 0; i < 3; ++i) a->pushBack(e(i));
    const std::vector<int> before = counts();
    const std::vector<std::pair<const char*, std::function<void()>>> cases = {
        {"at past the end", [&] { a->at(3); }},
        {"atPtr past the end", [&] { a->atPtr(7); }},
        {"at on empty", [&] { empty->at(0); }},
        {"erase past the end", [&] { a->erase(5); }},
        {"erase negative", [&] { a->erase(-1); }},
        {"insert past the end", [&] { a->insert(4, e(3)); }},
        {"insert negative", [&] { a->insert(-1, e(3)); }},
        {"back on empty", [&] { empty->back(); }},
        {"front on empty", [&] { empty->front(); }},
        {"popBack on empty", [&] { empty->popBack(); }},
        {"popFront on empty", [&] { empty->popFront(); }},
        {"eraseRange reversed", [&] { a->eraseRange(2, 1); }},
        {"eraseRange past the end", [&] { a->eraseRange(1, 4); }},
        {"eraseRange negative", [&] { a->eraseRange(-1, 1); }},
        {"reserve negative", [&] { a->reserve(-1); }},
        {"resize negative", [&] { a->resize(-1); }},
        {"assignItems negative", [&] { a->assignItems(nullptr, -1); }},
    };
    for (const auto& [name, action] : cases) {
        try {
            action();
            ADD_FAILURE() << name << ": no exception";
        } catch (const std::out_of_range& ex) {
            EXPECT_STREQ(ex.what(), "invalid vector<T> subscript") << name;
        }
        EXPECT_EQ(a->size(), 3) << name;
        EXPECT_EQ(counts(), before) << name;
    }
}

TEST_F(ArrayTest, AssignCloneAndResize) {
    Array a(orv::newOrvXmlElemArray());
    a->pushBack(e(0));
    a->pushBack(e(1));
    Array b(orv::newOrvXmlElemArray());
    b->pushBack(e(2));
    EXPECT_EQ(b->assignArray(a.get()), 2);
    EXPECT_EQ(counts(), (std::vector<int>{3, 3, 1, 1}));
    EXPECT_EQ(b->assignArray(b.get()), 2);  // itself: nothing changes
    EXPECT_EQ(b->appendArray(b.get()), 4);  // itself: a snapshot is appended
    EXPECT_EQ(counts(), (std::vector<int>{4, 4, 1, 1}));
    {
        Array c(b->clone());
        EXPECT_EQ(c->size(), 4);
        EXPECT_EQ(c->at(3), e(1));
        EXPECT_EQ(counts(), (std::vector<int>{4, 4, 1, 1}));  // the clone holds plain pointers
        c->popBack();
        c->erase(0);
        EXPECT_EQ(counts(), (std::vector<int>{4, 4, 1, 1}));
        c->resize(5);
        EXPECT_EQ(c->at(4), nullptr);
    }
    b->reserve(10);
    EXPECT_EQ(b->capacity(), 10);
    EXPECT_EQ(b->at(2), e(0));
    b->resize(6);
    EXPECT_EQ(b->at(5), nullptr);
    b->resize(2);  // the dropped tail is released
    EXPECT_EQ(counts(), (std::vector<int>{3, 3, 1, 1}));
    IOrvXmlElem* items[] = {e(3)};
    EXPECT_EQ(b->assignItems(items, 1), 1);
    EXPECT_EQ(counts(), (std::vector<int>{2, 2, 1, 2}));
    b->clear();
    EXPECT_EQ(counts(), (std::vector<int>{2, 2, 1, 1}));
}
