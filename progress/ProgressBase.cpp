#include <climits>
#include <cmath>

#include "progress/ProgressBase.h"

using orv::COrvProgressBase;

IOrvProgress::IOrvProgress() = default;
IOrvProgress::IOrvProgress(const IOrvProgress& other) : orv::OrvReferenced(other) {}
IOrvProgress::~IOrvProgress() = default;

namespace {
// done x 100 truncated toward zero, saturated so that no value of done makes the conversion
// undefined; NaN counts as 0.
long long wholePercent(double done) {
    const double percent = done * 100.0;
    if (std::isnan(percent)) return 0;
    if (percent >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (percent <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<long long>(percent);
}
}  // namespace

COrvProgressBase::COrvProgressBase() {
    m_scale[0] = 1.0;
}

COrvProgressBase::~COrvProgressBase() = default;

int COrvProgressBase::pushRange(double fraction) {
    if (m_depth >= kProgressStackDepth) return 0;  // ignored: the stack is full
    m_scale[m_depth] = m_scale[m_depth - 1] * fraction;
    ++m_depth;
    return 0;
}

int COrvProgressBase::popRange() {
    if (m_depth > 1) --m_depth;  // a pop with no sub-range open is ignored
    return 0;
}

int COrvProgressBase::setText(const char* text) {
    return showText(text ? text : "");
}

int COrvProgressBase::step(double fraction) {
    const long long before = wholePercent(m_done);
    m_done += fraction * m_scale[m_depth - 1];
    const long long after = wholePercent(m_done);
    if (after > before) {
        const long long rise = after - before;
        showPercent(rise > INT_MAX ? INT_MAX : static_cast<int>(rise));
    }
    return 0;
}

int COrvProgressBase::queryValue(int32_t) {
    return -1;
}

bool COrvProgressBase::queryFlag() {
    return false;
}
