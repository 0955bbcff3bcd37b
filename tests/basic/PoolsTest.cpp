#include <gtest/gtest.h>

#include "OrvBasic.h"
#include "support/TestSupport.h"

namespace {

using orv::OrvPtr;

LasPnt pointAt(float x) {
    LasPnt p;
    p.pnt = orv::XPnt3f(x, 2 * x, 3 * x, static_cast<uint16_t>(x));
    return p;
}

class PoolsTest : public orvtest::CountedTest {};

TEST_F(PoolsTest, PoolStoresCopiesAndWalksThemInOrder) {
    OrvPtr<orv::LasPntPool> pool(orv::newLasPntPool());
    for (int i = 0; i < 3; ++i) {
        LasPnt p = pointAt(static_cast<float>(i));
        pool->add(&p);
        p.pnt.x = 99;  // the pool holds its own copy
    }
    for (int pass = 0; pass < 2; ++pass) {
        pool->rewind();
        for (int i = 0; i < 3; ++i) {
            LasPnt* p = pool->next();
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(+p->pnt.x, static_cast<float>(i));
            EXPECT_EQ(+p->pnt.attr, i);
        }
        EXPECT_EQ(pool->next(), nullptr);
        EXPECT_EQ(pool->next(), nullptr);
    }
}

TEST_F(PoolsTest, ReservedPoolKeepsPointersWhileFilled) {
    OrvPtr<orv::LasPntPool> pool(orv::newLasPntPool());
    pool->reserve(1000);
    LasPnt first = pointAt(1);
    pool->add(&first);
    const LasPnt* stored = pool->data();
    for (int i = 0; i < 999; ++i) {
        LasPnt p = pointAt(static_cast<float>(i));
        pool->add(&p);
    }
    EXPECT_EQ(pool->data(), stored);
    EXPECT_EQ(pool->size(), 1000u);
}

TEST_F(PoolsTest, PointerPoolStoresThePointersGiven) {
    OrvPtr<orv::LasPntPool> values(orv::newLasPntPool());
    for (int i = 0; i < 3; ++i) {
        LasPnt p = pointAt(static_cast<float>(i));
        values->add(&p);
    }
    OrvPtr<orv::PLasPntPool> pointers(orv::newPLasPntPool());
    values->rewind();
    while (LasPnt* p = values->next()) pointers->add(&p);
    pointers->rewind();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pointers->next(), values->data() + i);
    EXPECT_EQ(pointers->next(), nullptr);
}

TEST_F(PoolsTest, ArrayAppendsByValue) {
    OrvPtr<orv::LasPntArray> array(orv::newLasPntArray());
    array->reserve(2);
    array->pushBack(pointAt(4));
    array->pushBack(pointAt(5));
    ASSERT_EQ(array->size(), 2u);
    EXPECT_EQ(+(*array)[1].pnt.y, 10.0f);
}

}  // namespace
