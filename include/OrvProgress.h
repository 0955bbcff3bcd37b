// Progress reporting for long tasks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include "OrvBasic.h"
#include "OrvExport.h"

// How far a task has got, as nested ranges that each stand for a share of the whole.
class ORV_API IOrvProgress : public orv::OrvReferenced {
public:
    IOrvProgress();
    IOrvProgress(const IOrvProgress& other);
    IOrvProgress& operator=(const IOrvProgress&) { return *this; }

    // Opens a sub-range that stands for `fraction` of the current range.
    virtual int pushRange(double fraction) = 0;
    // Closes the innermost sub-range; its unstepped part is not counted as done.
    virtual int popRange() = 0;
    // Shows a new text beside the percentage.
    virtual int setText(const char* text) = 0;
    // Advances by `fraction` of the current range.
    virtual int step(double fraction) = 0;
    // Fixed answers in this library: -1 and false.
    virtual int queryValue(int32_t key) = 0;
    virtual bool queryFlag() = 0;

protected:
    ~IOrvProgress() override;
};

// A reporter that prints "\r <percent>%\t<text>" on standard output, overwriting its own line.
// Returns a new object with a count of 0, or null when out of memory.
ORV_API IOrvProgress* newConsoleProgress();
// The same reporter printing the same bytes on `stream` (borrowed, never closed; null means
// standard output), e.g. stderr, so that progress never mixes with a program's data.
ORV_API IOrvProgress* newConsoleProgress(std::FILE* stream);

namespace orv {

// Told after each block of work: the units (points) done so far and the total expected. The last
// call, once, when the work ends, has done == total; `done` never goes back.
using ProgressCallback = std::function<void(uint64_t done, uint64_t total)>;

}  // namespace orv
