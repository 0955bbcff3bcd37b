// orvter las info: the header fields of a LAS file and its first point.
#include <CLI/CLI.hpp>
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Batch.h"
#include "Command.h"
#include "OrvLas.h"
#include "OrvLasFile.h"
#include "OrvLasStream.h"
#include "OrvLasSurvey.h"

namespace orvter {
namespace {

// Each axis at the precision of its scale: a file in centimetres prints no more digits.
struct Precision {
    int x, y, z;
    explicit Precision(const LasHeader& h)
        : x(decimalsOf(h.xScale)), y(decimalsOf(h.yScale)), z(decimalsOf(h.zScale)) {}
};

std::string triple(double a, double b, double c, const Precision& p) {
    return formatFixed(a, p.x) + " " + formatFixed(b, p.y) + " " + formatFixed(c, p.z);
}

// The numbers the text gives, as JSON numbers.
nlohmann::ordered_json jsonTriple(double a, double b, double c, const Precision& p) {
    return {readBack(formatFixed(a, p.x)), readBack(formatFixed(b, p.y)),
            readBack(formatFixed(c, p.z))};
}

// The VLRs between the header and the point data: a count or a length that runs past the
// start of the points means the header and the records disagree.
std::string vlrWarning(const orv::LasFileHeader& h) {
    if (h.warnings & orv::kLasVlrsCut)
        for (const std::string& note : h.notes)
            if (note.rfind("VLR ", 0) == 0) return note;
    return std::string();
}

}  // namespace

std::vector<std::string> readWarnings(uint32_t bits, uint64_t stated, uint64_t readable) {
    std::vector<std::string> out;
    if (bits & orv::kLasPointsInHeader)
        out.push_back("the offset to point data lies inside the header: no points are read");
    if (bits & orv::kLasChunkTableLost)
        out.push_back("the LAZ chunk table is unreadable: the chunks were found one after another");
    if (bits & orv::kLasRecordsDamaged)
        out.push_back("the compressed points are damaged: " + std::to_string(readable) + " of " +
                      std::to_string(stated) + " decode");
    return out;
}

namespace {

std::string beyondEnd(uint64_t stated, uint64_t present) {
    return "the header states " + std::to_string(stated) + " points but the file holds " +
           std::to_string(present) + " whole records";
}

// One line for each way the header disagrees with its file or itself.
std::vector<std::string> warningsOf(const orv::LasSurvey& file) {
    const orv::LasFileInfo& info = file.info();
    const LasHeader& h = info.header;
    std::vector<std::string> out;
    if (info.warnings & orv::kLasRecordTooShort) {
        const uint32_t length = h.pointDataRecordLength;
        std::string text = "record length " + std::to_string(length) +
                           " is too short for point format " + std::to_string(h.pointDataFormat);
        if (info.formatRecordLength > 0)
            text += " (" + std::to_string(info.formatRecordLength) + " bytes)";
        if (length < info.readableRecordLength)
            text += "; the readers need " + std::to_string(info.readableRecordLength) +
                    " and read no points";
        out.push_back(text);
    }
    if (info.warnings & orv::kLasPointsBeyondEnd)
        out.push_back(beyondEnd(info.statedPoints, info.presentRecords));
    if (info.warnings & orv::kLasCountsDisagree)
        out.push_back("the 32-bit point count " + std::to_string(+h.numberOfPointRecords) +
                      " differs from the 64-bit count " +
                      std::to_string(+info.extension.numberOfPointRecords));
    const std::string vlr = vlrWarning(file.header());
    if (!vlr.empty()) out.push_back(vlr);
    if (!file.chunkTableDisagreement().empty()) out.push_back(file.chunkTableDisagreement());
    for (const std::string& w : readWarnings(info.warnings, info.statedPoints, info.readablePoints))
        out.push_back(w);
    return out;
}

// Points of the file that lie outside the header's bounds, read through the stream. Floats
// relative to the first point, so a point is outside when it is off by more than the scale and
// a float's rounding. The stream reads the records as the lean readers do (also those LasReader
// refuses, and to the file's end under a header that states no points), so this scan is one
// more open of the file, made only when the bounds are to be checked.
uint64_t pointsOutsideBounds(const std::string& path, const LasHeader& h) {
    orv::OrvPtr<IOrvPoint> origin(newOrvPoint());
    orv::OrvPtr<IOrvInPntsStream> in(newInLasPntStream());
    if (!origin || !in) throw CommandError("out of memory");
    origin->setPoint(orv::XPnt3d(orv::kOriginFromFirstPoint, orv::kOriginFromFirstPoint,
                                 orv::kOriginFromFirstPoint));
    if (in->open(path.c_str(), origin.get()) != 0 || !in->getOrigin()) return 0;
    const IOrvPoint* o = in->getOrigin();
    const double lo[3] = {h.minX, h.minY, h.minZ}, hi[3] = {h.maxX, h.maxY, h.maxZ};
    const double scale[3] = {h.xScale, h.yScale, h.zScale}, at[3] = {o->x, o->y, o->z};
    uint64_t outside = 0;
    while (orv::OrvPtr<orv::LasPntArray> block = in->readPnts(1, 1000000)) {
        for (size_t i = 0; i < block->size(); ++i) {
            const LasPnt p = block->data()[i];
            const float rel[3] = {p.pnt.x, p.pnt.y, p.pnt.z};
            for (int a = 0; a < 3; ++a) {
                const double v = at[a] + rel[a];
                const double slack = std::fabs(scale[a]) + std::fabs(rel[a]) * 0x1p-23;
                if (v < lo[a] - slack || v > hi[a] + slack) {
                    ++outside;
                    break;
                }
            }
        }
    }
    in->close();
    return outside;
}

void emit(const nlohmann::ordered_json& j, const InfoOptions& o) {
    if (o.into)
        o.into->push_back(j);
    else
        orvter::printJson(j);
}

// The readable points of a compressed file are known only once every chunk is decoded.
const char* const kNotDecoded = "not counted: the compressed points were not decoded (--check)";

void printText(const std::string& name, const orv::LasSurvey& file, bool hasFirst,
               const orv::XPnt3d& p) {
    const orv::LasFileInfo& info = file.info();
    const LasHeader& h = info.header;
    const Precision precision(h);
    std::printf("file:              %s\n", name.c_str());
    std::printf("version:           %u.%u\n", h.versionMajor, h.versionMinor);
    // A compressed file's byte carries the compression bits; the format is the rest of it.
    if (h.pointDataFormat & 0x80)
        std::printf("point format:      %u (stored as %u: compressed)\n", h.pointDataFormat & 0x3Fu,
                    h.pointDataFormat);
    else
        std::printf("point format:      %u\n", h.pointDataFormat);
    std::printf("format name:       %s\n", info.formatName);
    std::printf("record length:     %u\n", h.pointDataRecordLength);
    std::printf("header size:       %u\n", h.headerSize);
    std::printf("offset to points:  %u\n", h.offsetToPointData);
    std::printf("VLRs:              %u\n", h.numberOfVlrs);
    // The count the readers take; a 1.4 header's 32-bit field is shown beside it.
    std::printf("number of points:  %" PRIu64 "\n", info.statedPoints);
    if (info.hasExtension) std::printf("legacy points:     %u\n", h.numberOfPointRecords);
    std::printf("points by return:  %u %u %u %u %u\n", h.numberOfPointsByReturn[0],
                h.numberOfPointsByReturn[1], h.numberOfPointsByReturn[2],
                h.numberOfPointsByReturn[3], h.numberOfPointsByReturn[4]);
    if (info.hasExtension) {
        const Las14Extension& e = info.extension;
        std::printf("extended points:   %" PRIu64 "\n",
                    static_cast<uint64_t>(e.numberOfPointRecords));
        std::string byReturn;
        for (int k = 0; k < 15; ++k) {
            const uint64_t n = e.numberOfPointsByReturn[k];
            byReturn += (k ? " " : "") + std::to_string(n);
        }
        std::printf("extended returns:  %s\n", byReturn.c_str());
    }
    if (file.counted())
        std::printf("readable points:   %" PRIu64 "\n", info.readablePoints);
    else
        std::printf("readable points:   %s\n", kNotDecoded);
    std::printf("scale:             %s\n", (formatNumber(h.xScale) + " " + formatNumber(h.yScale) +
                                            " " + formatNumber(h.zScale))
                                               .c_str());
    std::printf("offset:            %s\n",
                triple(h.xOffset, h.yOffset, h.zOffset, precision).c_str());
    std::printf("min:               %s\n", triple(h.minX, h.minY, h.minZ, precision).c_str());
    std::printf("max:               %s\n", triple(h.maxX, h.maxY, h.maxZ, precision).c_str());
    if (hasFirst)
        std::printf("first point:       %s\n", triple(p.x, p.y, p.z, precision).c_str());
    else
        std::printf("first point:       none\n");
}

void printInfoJson(const std::string& name, orv::LasSurvey& file,
                   const std::vector<std::string>& warnings, bool hasFirst, const orv::XPnt3d& p,
                   const std::string& path, const InfoOptions& o) {
    const orv::LasFileInfo& info = file.info();
    const LasHeader& h = info.header;
    const Precision precision(h);
    nlohmann::ordered_json j;
    j["input"] = name;
    j["version"] = std::to_string(h.versionMajor) + "." + std::to_string(h.versionMinor);
    // Header fields are packed: they are copied out (unary +), never bound to references.
    // The format as a number, as other tools give it; the compression bits are `compressed`.
    const bool compressed =
        (h.pointDataFormat & 0xC0) != 0 && (h.pointDataFormat & 0x3F) <= orv::kLasLastPointFormat;
    j["point_format"] = compressed ? h.pointDataFormat & 0x3F : +h.pointDataFormat;
    j["compressed"] = compressed;
    j["record_length"] = +h.pointDataRecordLength;
    j["header_size"] = +h.headerSize;
    j["offset_to_points"] = +h.offsetToPointData;
    j["point_count"] = info.statedPoints;
    j["legacy_point_count"] = +h.numberOfPointRecords;
    j["points_by_return"] = {+h.numberOfPointsByReturn[0], +h.numberOfPointsByReturn[1],
                             +h.numberOfPointsByReturn[2], +h.numberOfPointsByReturn[3],
                             +h.numberOfPointsByReturn[4]};
    j["scale"] = {+h.xScale, +h.yScale, +h.zScale};
    j["offset"] = jsonTriple(h.xOffset, h.yOffset, h.zOffset, precision);
    j["min"] = jsonTriple(h.minX, h.minY, h.minZ, precision);
    j["max"] = jsonTriple(h.maxX, h.maxY, h.maxZ, precision);
    j["first_point"] = hasFirst ? jsonTriple(p.x, p.y, p.z, precision) : nlohmann::ordered_json();
    j["format_name"] = info.formatName;
    j["vlr_count"] = +h.numberOfVlrs;
    if (info.hasExtension) {
        const Las14Extension& e = info.extension;
        j["extended_point_count"] = +e.numberOfPointRecords;
        nlohmann::ordered_json byReturn = nlohmann::ordered_json::array();
        for (int k = 0; k < 15; ++k) byReturn.push_back(+e.numberOfPointsByReturn[k]);
        j["extended_points_by_return"] = byReturn;
    } else {
        j["extended_point_count"] = nullptr;
        j["extended_points_by_return"] = nullptr;
    }
    j["stated_points"] = info.statedPoints;
    // A compressed file's records are counted by decoding them: null where they were not.
    const nlohmann::ordered_json uncounted;
    j["present_records"] = file.counted() ? nlohmann::ordered_json(info.presentRecords) : uncounted;
    j["readable_points"] = file.counted() ? nlohmann::ordered_json(info.readablePoints) : uncounted;
    j["warnings"] = warnings;
    printFullLasInfo(file, path, o, &j);
    emit(j, o);
}

// The 2.0 layout: doubles relative to the header's offsets, no scale and no bounds.
void print20(const InputPath& in, const InfoOptions& o, const orv::LasSurvey& file,
             const Las2Header& h, uint64_t present) {
    const bool json = o.json, strict = o.strict;
    const uint64_t length = h.pointRecordLength, offset = h.offsetToPointData;
    std::vector<std::string> warnings;
    if (present < h.numberOfPointRecords)
        warnings.push_back(beyondEnd(h.numberOfPointRecords, present));
    orv::XPnt3d p;
    const bool hasFirst = file.firstPoint(p);
    if (json) {
        nlohmann::ordered_json j;
        j["input"] = in.name();
        j["version"] = "2.0";
        j["point_format"] = nullptr;
        j["record_length"] = length;
        j["header_size"] = sizeof h;
        j["offset_to_points"] = offset;
        j["point_count"] = +h.numberOfPointRecords;
        j["legacy_point_count"] = +h.numberOfPointRecords;
        j["offset"] = {+h.xOffset, +h.yOffset, +h.zOffset};
        j["first_point"] = hasFirst ? nlohmann::ordered_json{p.x, p.y, p.z} : nullptr;
        j["format_name"] = "2.0 layout: X, Y, Z as doubles, intensity, return, class";
        j["stated_points"] = +h.numberOfPointRecords;
        j["present_records"] = present;
        j["warnings"] = warnings;
        emit(j, o);
    } else {
        std::printf("file:              %s\n", in.name().c_str());
        std::printf("version:           2.0 (X, Y, Z as doubles, no scale; read by las stream)\n");
        std::printf("record length:     %" PRIu64 "\n", length);
        std::printf("offset to points:  %" PRIu64 "\n", offset);
        std::printf("number of points:  %u\n", +h.numberOfPointRecords);
        std::printf("offset:            %s %s %s\n", formatNumber(h.xOffset).c_str(),
                    formatNumber(h.yOffset).c_str(), formatNumber(h.zOffset).c_str());
        if (hasFirst)
            std::printf("first point:       %s %s %s\n", formatNumber(p.x).c_str(),
                        formatNumber(p.y).c_str(), formatNumber(p.z).c_str());
        else
            std::printf("first point:       none\n");
    }
    std::fflush(stdout);
    for (const std::string& w : warnings)
        std::fprintf(stderr, "warning: '%s': %s\n", in.name().c_str(), w.c_str());
    if (strict && !warnings.empty())
        throw CommandError("'" + in.name() + "' disagrees with its header", kExitStrict);
}

}  // namespace

LasInput openLasInput(const InputPath& in, bool layout20) {
    LasInput input;
    input.file = std::make_shared<orv::LasSurvey>();
    orv::LasSurvey& file = *input.file;
    file.setFixedHeaderOnly(true);  // where the streams and the bulk reader find the records
    switch (file.open(in.path().c_str())) {
        case 0: {
            const orv::LasFileInfo& info = file.info();
            input.header = info.header;
            input.counts = {info.statedPoints, info.readablePoints, info.warnings,
                            info.presentRecords};
            return input;
        }
        case -1:
            throw CommandError("cannot read '" + in.name() + "'");
        case -3:
            throw CommandError("cannot read '" + in.name() + "': " + file.refusal());
        default:
            break;
    }
    Las2Header h;
    uint64_t present = 0;
    const int is20 = layout20 ? file.layout20(h, present) : 0;
    if (is20 == 0) throw CommandError("'" + in.name() + "' is not a LAS file");
    input.layout20 = true;
    // A 2.0 file shorter than its header counts nothing: the stream's open says why.
    if (is20 == 1)
        input.counts = {h.numberOfPointRecords,
                        present < h.numberOfPointRecords ? present : +h.numberOfPointRecords, 0,
                        present};
    return input;
}

void requireAgreement(const InputPath& in, const LasInput& input) {
    std::vector<std::string> warnings;
    const LasCounts& counts = input.counts;
    if (!input.layout20) {
        warnings = warningsOf(*input.file);
        if (const uint64_t outside = pointsOutsideBounds(in.path(), input.header))
            warnings.push_back(std::to_string(outside) + " points lie outside the header's bounds");
    } else if (counts.readable < counts.stated) {
        warnings.push_back(beyondEnd(counts.stated, counts.readable));
    }
    if (warnings.empty()) return;
    for (const std::string& w : warnings)
        std::fprintf(stderr, "warning: '%s': %s\n", in.name().c_str(), w.c_str());
    throw CommandError("'" + in.name() + "' disagrees with its header", kExitStrict);
}

void requireAgreement(const InputPath& in) {
    requireAgreement(in, openLasInput(in, true));
}

void reportReadDamage(const orv::LasReader& reader, const InputPath& in, uint64_t read,
                      bool strict) {
    const orv::LasFileHeader& h = reader.header();
    std::vector<std::string> lines = readWarnings(
        h.warnings & (orv::kLasChunkTableLost | orv::kLasRecordsDamaged), h.statedPoints, read);
    if (lines.empty()) return;
    if (h.warnings & orv::kLasRecordsDamaged) lines.back() += " (" + reader.error() + ")";
    std::fflush(stdout);
    for (const std::string& w : lines)
        std::fprintf(stderr, "warning: '%s': %s\n", in.name().c_str(), w.c_str());
    if (strict) throw CommandError("'" + in.name() + "' disagrees with its header", kExitStrict);
}

void reportShortRead(const InputPath& in, uint64_t read, uint64_t stated, bool strict) {
    if (read >= stated) return;
    const std::string text = "read " + std::to_string(read) + " of the " + std::to_string(stated) +
                             " points the header of '" + in.name() + "' states";
    if (strict) throw CommandError(text, kExitStrict);
    std::fflush(stdout);
    std::fprintf(stderr, "warning: %s\n", text.c_str());
}

void printLasInfo(const InfoOptions& o) {
    const InputPath in(o.path);
    // One open of the file feeds every part of the report, and --stats reads on through it.
    orv::LasSurvey file;
    // Compressed points are decoded only where the answer needs every one of them.
    const bool decode = o.check || o.stats || o.strict;
    using Count = orv::LasSurvey::Count;
    switch (file.open(in.path().c_str(), decode ? Count::kDecode : Count::kChunkTable)) {
        case 0:
            break;
        case -1:
            throw CommandError("cannot read '" + in.name() + "'");
        case -3:
            throw CommandError("cannot read '" + in.name() + "': " + file.refusal());
        default: {
            Las2Header h;
            uint64_t present = 0;
            switch (file.layout20(h, present)) {
                case 1:
                    return print20(in, o, file, h, present);
                case -1:
                    throw CommandError("'" + in.name() + "' is shorter than a LAS 2.0 header");
                default:
                    throw CommandError("'" + in.name() + "' is not a LAS file");
            }
        }
    }
    const orv::LasFileInfo& info = file.info();
    orv::XPnt3d first;
    const bool hasFirst = file.firstPoint(first);
    std::vector<std::string> warnings = warningsOf(file);
    // Bounds are checked point by point, a read of the whole file: only when asked to.
    if (o.strict)
        if (const uint64_t outside = pointsOutsideBounds(in.path(), info.header))
            warnings.push_back(std::to_string(outside) + " points lie outside the header's bounds");
    if (o.json) {
        printInfoJson(in.name(), file, warnings, hasFirst, first, in.path(), o);
    } else {
        printText(in.name(), file, hasFirst, first);
        printFullLasInfo(file, in.path(), o, nullptr);
    }
    // Warnings go to standard error after the report: the file was read, the status stays 0.
    std::fflush(stdout);
    for (const std::string& w : warnings)
        std::fprintf(stderr, "warning: '%s': %s\n", in.name().c_str(), w.c_str());
    if (o.strict && !warnings.empty())
        throw CommandError("'" + in.name() + "' disagrees with its header", kExitStrict);
}

namespace {

struct InfoCommand {
    InfoOptions options;
    std::vector<std::string> files;
};

// One block (or JSON object) per file, in order; a file that fails is reported and the others
// are still shown, the exit status saying so at the end.
void runInfo(const InfoCommand& c) {
    if (c.files.size() == 1) {
        InfoOptions o = c.options;
        o.path = c.files[0];
        printLasInfo(o);
        return;
    }
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    const BatchResult r = runEach(c.files.size(), 1, [&](size_t i) {
        InfoOptions o = c.options;
        o.path = c.files[i];
        if (o.json) o.into = &all;
        if (i > 0 && !o.json) std::printf("\n");
        printLasInfo(o);
    });
    if (c.options.json) orvter::printJson(all);
    if (r.failures)
        throw CommandError(
            std::to_string(r.failures) + " of " + std::to_string(c.files.size()) + " files failed",
            r.status);
}

}  // namespace

void addLasInfo(CLI::App& las) {
    auto command = std::make_shared<InfoCommand>();
    InfoOptions* options = &command->options;
    CLI::App* cmd = las.add_subcommand(
        "info", "Print the header fields and the first point of LAS files (1.x or 2.0)");
    cmd->add_option("FILE", command->files,
                    "LAS files to examine, one block each (- reads standard input)")
        ->required();
    cmd->add_flag("--json", options->json,
                  "Print one JSON object instead of text (an array of them for several files)");
    cmd->add_flag("--strict", options->strict,
                  "Exit with status 3 when the file disagrees with its header (counts, records, "
                  "points outside the bounds)");
    cmd->add_flag("--check", options->check,
                  "Decode every chunk of a compressed file to count its readable points and find "
                  "damage (without it, the chunk table is checked against the header and the "
                  "file's size)");
    cmd->add_flag("--stats", options->stats,
                  "Scan every point: real bounds, returns, classes with their names, GPS time "
                  "range, density, and count, min, max, mean and standard deviation of every "
                  "dimension (extra dimensions too)");
    cmd->add_flag("--schema", options->schema,
                  "List the dimensions of the records: name, type, bytes (extra dimensions too)");
    addThreadsOption(cmd);
    cmd->callback([command] { runInfo(*command); });
}

}  // namespace orvter
