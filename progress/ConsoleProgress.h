// The console reporter: one self-overwriting line on standard output or a stream of the caller.
#pragma once

#include <cstdio>
#include <string>

#include "progress/ProgressBase.h"

namespace orv {

class CConsoleProgess : public COrvProgressBase {
public:
    // Prints on `stream` (standard output by default); the stream is borrowed, never closed.
    explicit CConsoleProgess(std::FILE* stream = stdout);
    int showPercent(int delta) override;
    int showText(const char* text) override;
    int percent() const { return m_percent; }

protected:
    // Completes the line to 100 when the work was not counted in full, then goes.
    ~CConsoleProgess() override;

private:
    void printLine() const;

    std::FILE* m_stream;
    int m_percent = 0;
    std::string m_text;
};

// The same class, its name spelled right: for new code.
using ConsoleProgress = CConsoleProgess;

}  // namespace orv
