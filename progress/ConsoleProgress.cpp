#include "progress/ConsoleProgress.h"

#include <cstdio>
#include <new>

using orv::CConsoleProgess;

CConsoleProgess::CConsoleProgess(std::FILE* stream) : m_stream(stream ? stream : stdout) {}

CConsoleProgess::~CConsoleProgess() {
    step(1.0 - done());
}

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
    std::fprintf(m_stream, "\r %d%%\t%s", m_percent, m_text.c_str());
    std::fflush(m_stream);  // the line never ends, so it would otherwise wait in the buffer
}

IOrvProgress* newConsoleProgress() {
    return new (std::nothrow) CConsoleProgess;
}

IOrvProgress* newConsoleProgress(std::FILE* stream) {
    return new (std::nothrow) CConsoleProgess(stream);
}
