#include "progress/ConsoleProgress.h"

#include <cstdio>
#include <new>

CConsoleProgess::CConsoleProgess() = default;

CConsoleProgess::~CConsoleProgess() { step(1.0 - done()); }

int CConsoleProgess::showPercent(int delta) {
    // Summed in 64 bits: the figure is capped at 100, the sum must not overflow on the way.
    const long long sum = static_cast<long long>(m_percent) + delta;
    m_percent = sum > 100 ? 100 : static_cast<int>(sum);
    printLine();
    return 0;
}

int CConsoleProgess::showText(const char* text) {
    m_text = text ? text : "";
    printLine();
    return 0;
}

void CConsoleProgess::printLine() const {
    std::printf("\r %d%%\t%s", m_percent, m_text.c_str());
    std::fflush(stdout);  // the line never ends, so it would otherwise wait in the buffer
}

IOrvProgress* newConsoleProgress() { return new (std::nothrow) CConsoleProgess; }
