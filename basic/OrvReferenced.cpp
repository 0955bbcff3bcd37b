#include <atomic>

#include "OrvBasic.h"

namespace orv {
namespace {
DeleteHandler* g_deleteHandler = nullptr;
// Atomic only so that tests may create objects on several threads; never on a per-point path.
std::atomic<long> g_liveObjects{0};
}  // namespace

DeleteHandler::~DeleteHandler() = default;

void DeleteHandler::doDelete(const OrvReferenced* object) {
    delete object;
}

OrvReferenced::OrvReferenced() : m_refCount(0) {
    g_liveObjects.fetch_add(1, std::memory_order_relaxed);
}

OrvReferenced::OrvReferenced(const OrvReferenced&) : m_refCount(0) {
    g_liveObjects.fetch_add(1, std::memory_order_relaxed);
}

OrvReferenced::~OrvReferenced() {
    g_liveObjects.fetch_sub(1, std::memory_order_relaxed);
}

void OrvReferenced::deleteSelf() const {
    if (DeleteHandler* handler = getDeleteHandler()) {
        handler->requestDelete(this);
    } else {
        delete this;
    }
}

DeleteHandler* OrvReferenced::getDeleteHandler() {
    return g_deleteHandler;
}

void OrvReferenced::setDeleteHandler(DeleteHandler* handler) {
    g_deleteHandler = handler;
}

void OrvReferenced::forgetObjects(long count) {
    g_liveObjects.fetch_sub(count, std::memory_order_relaxed);
}

long OrvReferenced::liveObjects() {
    return g_liveObjects.load(std::memory_order_relaxed);
}

OrvArray::OrvArray() : m_growBy(0) {}
OrvArray::OrvArray(const OrvArray& other) : OrvReferenced(other), m_growBy(other.m_growBy) {}
OrvArray& OrvArray::operator=(const OrvArray& other) {
    m_growBy = other.m_growBy;
    return *this;
}
OrvArray::~OrvArray() = default;
void OrvArray::trim() {}

}  // namespace orv
