// Bookkeeping every reporter shares: nested ranges, the fraction done, whole-percent rises.
#pragma once

#include "OrvProgress.h"

// Entries of the scale stack: entry 0 plus up to 1,023 nested sub-ranges, fixed so that pushing
// never allocates.
constexpr int kProgressStackDepth = 1024;

namespace orv {

class COrvProgressBase : public IOrvProgress {
public:
    COrvProgressBase();

    int pushRange(double fraction) override;
    int popRange() override;
    int setText(const char* text) override;
    int step(double fraction) override;
    int queryValue(int32_t key) override;
    bool queryFlag() override;

    // Told that the whole percentage of the work done rose by `delta` (at least 1).
    virtual int showPercent(int delta) = 0;
    // Told that the text changed; never null.
    virtual int showText(const char* text) = 0;

    double done() const { return m_done; }
    int depth() const { return m_depth; }

protected:
    ~COrvProgressBase() override;

private:
    double m_scale[kProgressStackDepth];
    double m_done = 0.0;
    int m_depth = 1;
};

}  // namespace orv
