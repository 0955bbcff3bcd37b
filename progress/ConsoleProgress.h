// The console reporter: one self-overwriting line on standard output.
#pragma once

#include <string>

#include "progress/ProgressBase.h"

class CConsoleProgess : public COrvProgressBase {
public:
    CConsoleProgess();
    int showPercent(int delta) override;
    int showText(const char* text) override;
    int percent() const { return m_percent; }

protected:
    // Completes the line to 100 when the work was not counted in full, then goes.
    ~CConsoleProgess() override;

private:
    void printLine() const;

    int m_percent = 0;
    std::string m_text;
};
