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

TEST_F(PoolsTest, GrowZeroesNewPointsAndKeepsTheOldOnesAcrossAMove) {
    // Small and large blocks: a large one comes from the system and is backed ahead.
    for (size_t reserved : {size_t{4}, size_t{1} << 20}) {
        OrvPtr<orv::LasPntPool> pool(orv::newLasPntPool());
        pool->reserve(reserved);
        pool->prepare(0, reserved + 100);  // beyond the room: only the room is backed
        LasPnt* filled = pool->growForOverwrite(3);
        for (int i = 0; i < 3; ++i) filled[i] = pointAt(static_cast<float>(i + 1));
        const LasPnt* zeroed = pool->grow(reserved + 5);  // moves the small pool's points
        for (size_t i = 0; i < reserved + 5; ++i)
            ASSERT_EQ(+zeroed[i].pnt.x + zeroed[i].pnt.attr + zeroed[i].classification, 0) << i;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(+pool->data()[i].pnt.x, static_cast<float>(i + 1));
        EXPECT_EQ(pool->size(), reserved + 8);
    }
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
