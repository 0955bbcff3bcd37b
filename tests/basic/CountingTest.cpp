#include <gtest/gtest.h>

#include <cstring>

#include "OrvBasic.h"
#include "support/TestSupport.h"

namespace {

using orv::OrvPtr;
using orv::OrvReferenced;

class Tracked : public OrvReferenced {
public:
    explicit Tracked(int* destroyed) : m_destroyed(destroyed) {}

protected:
    ~Tracked() override { ++*m_destroyed; }

private:
    int* m_destroyed;
};

class CountingTest : public orvtest::CountedTest {};

TEST_F(CountingTest, CountSitsRightAfterTheVirtualTablePointer) {
    int destroyed = 0;
    OrvPtr<Tracked> a(new Tracked(&destroyed));
    OrvPtr<Tracked> b = a;
    int32_t stored;
    std::memcpy(&stored, reinterpret_cast<const char*>(a.get()) + sizeof(void*), sizeof stored);
    EXPECT_EQ(stored, 2);
    EXPECT_EQ(a->referenceCount(), 2);
}

TEST_F(CountingTest, NewObjectsAndCopiesStartAtZero) {
    int destroyed = 0;
    auto* t = new Tracked(&destroyed);
    EXPECT_EQ(t->referenceCount(), 0);
    t->ref();
    OrvPtr<Tracked> copy(new Tracked(*t));  // a copy is a new object
    EXPECT_EQ(copy->referenceCount(), 1);
    t->unref();
    EXPECT_EQ(destroyed, 1);
    copy = nullptr;
    EXPECT_EQ(destroyed, 2);
}

TEST_F(CountingTest, PointerAssignmentTakesNewBeforeReleasingOld) {
    int destroyed = 0;
    auto* first = new Tracked(&destroyed);
    auto* second = new Tracked(&destroyed);
    {
        OrvPtr<Tracked> p(first);
        p = first;  // the same object: nothing changes
        EXPECT_EQ(first->referenceCount(), 1);
        p = p;  // self-assignment through the pointer type
        EXPECT_EQ(first->referenceCount(), 1);
        p = second;
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(second->referenceCount(), 1);
        p = nullptr;
        EXPECT_EQ(destroyed, 2);
        EXPECT_FALSE(p);
    }
    EXPECT_EQ(destroyed, 2);
}

TEST_F(CountingTest, ReleaseAndAdoptHandOverOneReference) {
    int destroyed = 0;
    Tracked* handedOut;
    {
        OrvPtr<Tracked> p(new Tracked(&destroyed));
        handedOut = p.release();
    }
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(handedOut->referenceCount(), 1);
    {
        auto owner = OrvPtr<Tracked>::adopt(handedOut);
        EXPECT_EQ(handedOut->referenceCount(), 1);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST_F(CountingTest, MovedPointerLeavesTheSourceEmpty) {
    int destroyed = 0;
    OrvPtr<Tracked> a(new Tracked(&destroyed));
    OrvPtr<Tracked> b(std::move(a));
    EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
    EXPECT_EQ(b->referenceCount(), 1);
    OrvPtr<Tracked> c;
    c = std::move(b);
    EXPECT_EQ(c->referenceCount(), 1);
    EXPECT_EQ(destroyed, 0);
}

class CollectingHandler : public orv::DeleteHandler {
public:
    void requestDelete(const OrvReferenced* object) override { pending.push_back(object); }
    void flush() {
        for (auto* o : pending) doDelete(o);
        pending.clear();
    }
    std::vector<const OrvReferenced*> pending;
};

TEST_F(CountingTest, DeleteHandlerReceivesObjectsWhoseCountReachesZero) {
    int destroyed = 0;
    CollectingHandler handler;
    OrvReferenced::setDeleteHandler(&handler);
    auto* t = new Tracked(&destroyed);
    t->ref();
    t->unref();
    OrvReferenced::setDeleteHandler(nullptr);
    ASSERT_EQ(handler.pending.size(), 1u);
    EXPECT_EQ(handler.pending[0], t);
    EXPECT_EQ(destroyed, 0);
    handler.flush();
    EXPECT_EQ(destroyed, 1);
}

TEST_F(CountingTest, UnrefOfAnUnreferencedObjectDeletesIt) {
    int destroyed = 0;
    (new Tracked(&destroyed))->unref();  // the count goes below zero: deleted all the same
    EXPECT_EQ(destroyed, 1);
}

TEST_F(CountingTest, MinAndMaxAreComponentWise) {
    orv::XPnt3d a(1, 5, -3), b(2, -4, 0);
    auto lo = orv::getMin(a, b), hi = orv::getMax(a, b);
    EXPECT_EQ(lo.x, 1);
    EXPECT_EQ(lo.y, -4);
    EXPECT_EQ(lo.z, -3);
    EXPECT_EQ(hi.x, 2);
    EXPECT_EQ(hi.y, 5);
    EXPECT_EQ(hi.z, 0);
}

TEST_F(CountingTest, PointSetsAllThreeCoordinates) {
    OrvPtr<IOrvPoint> p(newOrvPoint());
    p->setPoint(orv::XPnt3d(1.5, -2.25, 3e6));
    EXPECT_EQ(p->x, 1.5);
    EXPECT_EQ(p->y, -2.25);
    EXPECT_EQ(p->z, 3e6);
}

}  // namespace
