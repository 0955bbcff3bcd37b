// The progress line of long subcommands.
#include <unistd.h>

#include <cstdio>

#include "Command.h"

namespace orvter {

orv::OrvPtr<IOrvProgress> startProgress(bool quiet, const std::string& text) {
    // Standard error, and only a terminal: piped data and logs never carry the line.
    if (quiet || !isatty(STDERR_FILENO)) return nullptr;
    orv::OrvPtr<IOrvProgress> progress(newConsoleProgress(stderr));
    if (progress) progress->setText(text.c_str());
    return progress;
}

void endProgress(orv::OrvPtr<IOrvProgress>& progress) {
    if (!progress) return;
    progress = nullptr;  // the release completes the line to 100%
    std::fputc('\n', stderr);
}

void printJson(const nlohmann::ordered_json& value) {
    writeText(value.dump(2) + "\n");
}

}  // namespace orvter
