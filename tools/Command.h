// What every orvter subcommand shares.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "OrvLasFormat.h"
#include "OrvProgress.h"
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

// The console progress line on standard error, or null when `quiet` or standard error is not a
// terminal. Every step may be given to a null reporter through `orvter::step`.
orv::OrvPtr<IOrvProgress> startProgress(bool quiet, const std::string& text);
inline void step(IOrvProgress* progress, double fraction) {
    if (progress) progress->step(fraction);
}
// Completes the line to 100% and ends it.
void endProgress(orv::OrvPtr<IOrvProgress>& progress);
// Prints one JSON value (a subcommand's --json answer) on standard output.
void printJson(const nlohmann::ordered_json& value);

// Writes `points` synthetic points (a 1,000 x 1,000 tile at map coordinates, the same for the
// same seed) to a LAS 1.1 file at `path`.
void generateCloud(const std::string& path, uint64_t points, uint64_t seed, IOrvProgress* progress);
// Throws the CommandError that says why `path` is not a LAS file the subcommands can read (a 1.x
// file signed "LASF" and at least a header long, or with `layout20` also the 2.0 layout);
// fills `header` (meaningless for a 2.0 file).
void checkLasFile(const std::string& path, LasHeader& header, bool layout20 = false);
// Prints what `las info` prints for `path` (text or JSON); a file that is not LAS throws.
// `stats` adds a scan of every point.
void printLasInfo(const std::string& path, bool json, bool stats = false);
// What the full header model adds to `las info`: printed as text, or put into `json` when
// `asJson`. Prints nothing for a file it cannot read.
void printFullLasInfo(const std::string& path, bool asJson, bool stats,
                      nlohmann::ordered_json* json);

void addLasInfo(CLI::App& las);
void addDemo(CLI::App& app);
void addLasCopy(CLI::App& las);
void addLasGen(CLI::App& las);
void addLasStream(CLI::App& las);
void addXmlFmt(CLI::App& xml);
void addXmlGetSet(CLI::App& xml);

}  // namespace orvter
