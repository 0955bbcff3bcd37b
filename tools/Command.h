// What every orvter subcommand shares.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "OrvLasFile.h"
#include "OrvLasFormat.h"
#include "OrvLasSurvey.h"
#include "OrvProgress.h"
#include "OrvXml.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace orvter {

// Exit statuses: 0 done, 1 the input or the work failed, 2 the command line was wrong, 3 with
// --strict, a file that disagrees with its header.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStrict = 3;

// A failure the user caused or must know of: printed as one line, with its exit status. An empty
// message prints nothing: the line has been printed already.
class CommandError : public std::runtime_error {
public:
    explicit CommandError(const std::string& what, int status = kExitFailure)
        : std::runtime_error(what), m_status(status) {}
    int status() const { return m_status; }

private:
    int m_status;
};

// A file with no name in $TMPDIR, for bytes that must be sought: gone with the process however
// it ends, so nothing is ever left behind. The library reaches it through /proc/self/fd.
class Spool {
public:
    Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;
    ~Spool();
    int fd() const { return m_fd; }
    const std::string& path() const { return m_path; }

private:
    int m_fd = -1;
    std::string m_path;
};

// Which file a path or descriptor is, whatever the path: device and inode.
struct FileIdentity {
    uint64_t device = 0, inode = 0;
    bool known = false;
    bool operator==(const FileIdentity& o) const {
        return known && o.known && device == o.device && inode == o.inode;
    }
};

// An input argument as a regular file the library can open and seek: `-` is standard input, and
// a pipe, FIFO or terminal is copied whole to a spool first. Throws CommandError with the
// system's reason when it cannot be read.
class InputPath {
public:
    explicit InputPath(const std::string& arg);
    const std::string& path() const { return m_path; }  // what the library opens
    const std::string& name() const { return m_name; }  // what messages call it
    const FileIdentity& identity() const { return m_identity; }

private:
    std::unique_ptr<Spool> m_spool;
    std::string m_name, m_path;
    FileIdentity m_identity;
};

// The file an argument names (`-`: standard input), when it is a regular one.
FileIdentity identityOf(const std::string& arg);

// An output argument: `-` is standard output, and an existing target that is not a regular file
// (a pipe, FIFO, terminal, /dev/stdout) gets a complete file copied to it from a spool by
// `finish`, since the writers seek back to the header at the end.
class OutputPath {
public:
    explicit OutputPath(const std::string& arg);
    const std::string& path() const { return m_path; }  // where the library writes
    const std::string& name() const { return m_name; }
    // Refuses (CommandError, exit status 2) an output that is the input `name`, whatever the
    // paths: it would be read while it is replaced.
    void refuseInput(const FileIdentity& input, const std::string& name) const;
    // Copies a finished spool to its real target; throws CommandError on failure.
    void finish();

private:
    std::unique_ptr<Spool> m_spool;
    std::string m_arg, m_name, m_path;
    FileIdentity m_identity;
};

// Flushes and closes standard output; a failure prints one line and turns `status` 0 into 1.
int finishStdout(int status);

// Shortest text that reads back as the same double (or float: a float field prints as stored).
std::string formatNumber(double value);
std::string formatNumber(float value);
// A coordinate at the precision of its scale: `decimals` digits after the point, more only for
// a value off that grid (a cube's centre half a step over), never "-0.00"; as formatNumber when
// `decimals` < 0.
std::string formatFixed(double value, int decimals);
// `value` rounded to `decimals` digits after the point (unchanged when `decimals` < 0): a value
// derived from coordinates (a mean) at their precision.
double roundedTo(double value, int decimals);
// The number a text of formatNumber or formatFixed reads as: a JSON value prints the same.
double readBack(const std::string& text);
// The digits after the point that a scale factor gives (0.01: 2); -1 when none up to 12 do.
int decimalsOf(double scale);
// "" when `text` is a whole number, else why not ("'x' is not a number"): an option check.
std::string wholeNumber(const std::string& text);
// The writers that carry coordinates as floats and store them in thousandths: when that loses
// more than the thousandths for a cloud within `h`'s bounds, less `origin`, a warning line on
// standard error that says how far a coordinate may move at most. `who` opens the line.
void warnFloatMovement(const LasHeader& h, const double origin[3], const std::string& who);

// True when the LAS file `arg` is to be compressed: its name ends in .laz, or `laz` asks.
bool compressedOutput(const std::string& arg, bool laz);
// Adds OUT (a LAS file) and --laz to a command that writes one, in one wording everywhere.
void addLasOutput(CLI::App& cmd, std::string& out, bool& laz, bool required = true);
// Makes a list option stop at its own values, so that the file names after it are never read as
// more of them: `count` values, split at commas or one an argument (`--offset 1,2,3` or
// `--offset 1 2 3`); without a count, one argument split at commas (`--keep-class 2,6`), and
// the option used again adds values.
CLI::Option* valueList(CLI::Option* option, int count = 0);

// Loads `arg` (a path or `-`) into `doc`. The parser's message goes to standard error; a
// refusal throws CommandError naming the file.
void loadXml(const std::string& arg, IOrvXmlDoc* doc);
// A document loaded from `arg`, as loadXml.
orv::OrvPtr<IOrvXmlDoc> loadDocument(const std::string& arg);
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

// The progress line of work on a known number of points: points done, rate and time left.
class PointProgress {
public:
    // A first phase of `share` of the line.
    PointProgress(bool quiet, const std::string& verb, uint64_t total, double share = 1.0);
    ~PointProgress() { end(); }
    PointProgress(const PointProgress&) = delete;
    PointProgress& operator=(const PointProgress&) = delete;
    // `done` points of the total so far; redrawn at most ten times a second.
    void update(uint64_t done);
    // The time spent so far, when the points done are not known.
    void tick();
    // A new verb for the line ("writing"), the count starting again; the phase takes `share`
    // of the line's percentage from where the last one ended.
    void phase(const std::string& verb, double share);
    void end();
    bool shown() const { return m_progress.get() != nullptr; }

private:
    orv::OrvPtr<IOrvProgress> m_progress;
    std::string m_verb;
    uint64_t m_total;
    double m_fraction = 0.0;             // of the whole line, given to the reporter so far
    double m_base = 0.0, m_share = 1.0;  // where the phase starts, and its part of the line
    std::chrono::steady_clock::time_point m_start, m_drawn;
};
// Adds --threads N to a command that reads or writes compressed points; the number is also
// kept in `value` for the command's other threaded work.
void addThreadsOption(CLI::App* cmd, unsigned* value = nullptr);
// Prints one JSON value (a subcommand's --json answer) on standard output, or on standard
// error when standard output carries the data.
void printJson(const nlohmann::ordered_json& value, bool toStderr = false);

// Writes `points` synthetic points (a 1,000 x 1,000 tile at map coordinates, the same for the
// same seed) to a LAS 1.1 file at `path`.
void generateCloud(const std::string& path, uint64_t points, uint64_t seed, IOrvProgress* progress,
                   bool compress = false);
// The points a LAS file's header states (the 64-bit count of a 1.4 header when the 32-bit one
// is 0), and those of them the file holds whole records for.
struct LasCounts {
    uint64_t stated = 0, readable = 0;
    uint32_t warnings = 0;  // LasInfoWarning and LasReadWarning bits
    uint64_t present = 0;   // whole records between the point data and its end
};
// A LAS input opened once for a command that reads it with the point streams or the bulk reader
// (which take any bytes for a header).
struct LasInput {
    LasHeader header;  // meaningless for a 2.0 file
    bool layout20 = false;
    LasCounts counts;  // zeros for a 2.0 file shorter than its header
    std::shared_ptr<orv::LasSurvey> file;
};
// Throws CommandError for a file that is not LAS (a 1.x file signed "LASF", or with `layout20`
// also the 2.0 layout) or whose records the library refuses (a compressed file it cannot
// decode).
LasInput openLasInput(const InputPath& in, bool layout20 = false);
// The lines for what reading found (LasReadWarning bits): damaged or recovered records.
std::vector<std::string> readWarnings(uint32_t bits, uint64_t stated, uint64_t readable);
// With --strict: throws CommandError with exit status 3, after a warning line for each, when
// `in` disagrees with its header (fewer records than stated, counts that differ, a VLR past the
// points, points outside the header's bounds). Reads the whole file.
void requireAgreement(const InputPath& in, const LasInput& input);
// The same for `in` opened here.
void requireAgreement(const InputPath& in);
// Says what reading `reader` found (damaged or recovered compressed records) on standard
// error; with `strict` then throws CommandError with exit status 3.
void reportReadDamage(const orv::LasReader& reader, const InputPath& in, uint64_t read,
                      bool strict);
// Says that fewer points were read than the header states: a warning on standard error, or
// with `strict` a CommandError with exit status 3.
void reportShortRead(const InputPath& in, uint64_t read, uint64_t stated, bool strict);
// For a command that reads every point of `in` inside the library (las copc, las render): says
// at once, as reportShortRead, that the file holds fewer points than its header states, and
// gives what its header states and the points it holds, for afterCheck once they are read
// (compressed records may end early only where they are decoded).
struct StatedPoints {
    uint64_t stated = 0, held = 0;
    void afterCheck(const InputPath& in, uint64_t read, bool strict) const {
        if (read < held) reportShortRead(in, read, stated, strict);
    }
};
StatedPoints checkStatedPoints(const InputPath& in, bool strict);
struct InfoOptions {
    std::string path;
    bool json = false;
    bool strict = false;
    bool stats = false;   // scan every point
    bool schema = false;  // list the dimensions
    bool check = false;   // decode every compressed chunk to count the readable points
    // Where the JSON answer goes instead of standard output (an array of several files').
    nlohmann::ordered_json* into = nullptr;
};
// Prints what `las info` prints (text or JSON); a file that is not LAS throws.
void printLasInfo(const InfoOptions& options);
// What the full header model adds to `las info` for `file`, opened from the regular file `path`
// (read on with --stats): printed as text, or put into `json` when `options.json`.
void printFullLasInfo(orv::LasSurvey& file, const std::string& path, const InfoOptions& options,
                      nlohmann::ordered_json* json);

// What las copy hands to the COPC reader: an area (4 values in x and y, or 6 in x, y and z) and a
// level of detail of a COPC file or URL.
struct CopcQueryOptions {
    std::string in, out;
    std::vector<double> bbox;
    double resolution = 0;
    int level = -1;
    bool json = false;
    bool laz = false;     // compress whatever the output's name
    bool strict = false;  // a warning ends the copy with exit status 3
};
// True for a URL or a file that opens as COPC.
bool isCopcSource(const std::string& pathOrUrl);
void copyCopcQuery(const CopcQueryOptions& options);
// las copy --copc: the input rewritten as a COPC file.
void writeCopcCopy(const std::string& in, const std::string& out, bool json, bool quiet);
// The COPC records of `path` for las info (nothing for a file that is not COPC); the cube's
// coordinates at `decimals` (the file's, from its scales) after the point.
void printCopcInfo(const std::string& path, const int decimals[3], bool json,
                   nlohmann::ordered_json* j);

void addLasInfo(CLI::App& las);
void addLasCopc(CLI::App& las);
void addDemo(CLI::App& app);
void addLasCopy(CLI::App& las);
void addLasMerge(CLI::App& las);
void addLasGen(CLI::App& las);
// las ground, noise, hag and dem.
void addTerrainCommands(CLI::App& las);
void addLasStream(CLI::App& las);
void addLasRender(CLI::App& las);
void addView(CLI::App& app);
void addPipeline(CLI::App& app);
void addLasToText(CLI::App& las);
void addLasFromText(CLI::App& las);
void addXmlFmt(CLI::App& xml);
void addXmlGetSet(CLI::App& xml);

}  // namespace orvter
