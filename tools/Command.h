// What every orvter subcommand shares.
#pragma once

#include <stdexcept>
#include <string>

#include "OrvXml.h"

namespace CLI {
class App;
}

namespace orvter {

// A failure the user caused or must know of: printed as one line, exit status 1. An empty
// message prints nothing: the library has already said why.
class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Shortest text that reads back as the same double.
std::string formatNumber(double value);

// Throws the CommandError that explains why `path` did not load.
[[noreturn]] void refuseFile(const std::string& path);
// A document loaded from `path`; a refused file throws CommandError (an empty message when the
// parser has already printed its own).
orv::OrvPtr<IOrvXmlDoc> loadDocument(const std::string& path);
// Writes the bytes to standard output as they are.
void writeText(const std::string& text);

void addLasInfo(CLI::App& las);
void addLasCopy(CLI::App& las);
void addLasGen(CLI::App& las);
void addXmlFmt(CLI::App& xml);
void addXmlGetSet(CLI::App& xml);
void addLasStream(CLI::App& las);

}  // namespace orvter
