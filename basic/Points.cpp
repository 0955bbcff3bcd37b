#include <algorithm>
#include <new>

#include "OrvBasic.h"

namespace orv {

XPnt3d getMin(const XPnt3d& a, const XPnt3d& b) {
    return XPnt3d(std::min(a.x, b.x), std::min(a.y, b.y), std::min(a.z, b.z), a.attr);
}

XPnt3d getMax(const XPnt3d& a, const XPnt3d& b) {
    return XPnt3d(std::max(a.x, b.x), std::max(a.y, b.y), std::max(a.z, b.z), a.attr);
}

}  // namespace orv

IOrvPoint::~IOrvPoint() = default;

namespace {
class OrvPoint final : public IOrvPoint {
public:
    void setPoint(const orv::XPnt3d& point) override {
        x = point.x;
        y = point.y;
        z = point.z;
    }
};
}  // namespace

IOrvPoint* newOrvPoint() { return new (std::nothrow) OrvPoint; }
