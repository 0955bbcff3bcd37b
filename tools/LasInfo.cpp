// orvter las info: the header fields of a LAS file and its first point.
#include <CLI/CLI.hpp>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Command.h"
#include "OrvLas.h"

namespace orvter {
namespace {

struct InfoOptions {
    std::string path;
    bool json = false;
    bool stats = false;
};

std::string triple(double a, double b, double c) {
    return formatNumber(a) + " " + formatNumber(b) + " " + formatNumber(c);
}

// One line for each way the header disagrees with its file or itself.
std::vector<std::string> warningsOf(const orv::LasFileInfo& info) {
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
        out.push_back("the header states " + std::to_string(info.statedPoints) +
                      " points but the file holds " + std::to_string(info.presentRecords) +
                      " whole records");
    if (info.warnings & orv::kLasCountsDisagree)
        out.push_back("the 32-bit point count " + std::to_string(+h.numberOfPointRecords) +
                      " differs from the 64-bit count " +
                      std::to_string(+info.extension.numberOfPointRecords));
    return out;
}

void printText(const std::string& path, const orv::LasFileInfo& info, bool hasFirst,
               const orv::XPnt3d& p) {
    const LasHeader& h = info.header;
    std::printf("file:              %s\n", path.c_str());
    std::printf("version:           %u.%u\n", h.versionMajor, h.versionMinor);
    std::printf("point format:      %u\n", h.pointDataFormat);
    std::printf("format name:       %s\n", info.formatName);
    std::printf("record length:     %u\n", h.pointDataRecordLength);
    std::printf("header size:       %u\n", h.headerSize);
    std::printf("offset to points:  %u\n", h.offsetToPointData);
    std::printf("VLRs:              %u\n", h.numberOfVlrs);
    std::printf("number of points:  %u\n", h.numberOfPointRecords);
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
    std::printf("readable points:   %" PRIu64 "\n", info.readablePoints);
    std::printf("scale:             %s\n", triple(h.xScale, h.yScale, h.zScale).c_str());
    std::printf("offset:            %s\n", triple(h.xOffset, h.yOffset, h.zOffset).c_str());
    std::printf("min:               %s\n", triple(h.minX, h.minY, h.minZ).c_str());
    std::printf("max:               %s\n", triple(h.maxX, h.maxY, h.maxZ).c_str());
    if (hasFirst)
        std::printf("first point:       %s\n", triple(p.x, p.y, p.z).c_str());
    else
        std::printf("first point:       none (not within the first 64 KiB of the file)\n");
}

void printJson(const std::string& path, bool stats, const orv::LasFileInfo& info,
               const std::vector<std::string>& warnings, bool hasFirst, const orv::XPnt3d& p) {
    const LasHeader& h = info.header;
    nlohmann::ordered_json j;
    j["version"] = std::to_string(h.versionMajor) + "." + std::to_string(h.versionMinor);
    // Header fields are packed: they are copied out (unary +), never bound to references.
    j["point_format"] = +h.pointDataFormat;
    j["record_length"] = +h.pointDataRecordLength;
    j["header_size"] = +h.headerSize;
    j["offset_to_points"] = +h.offsetToPointData;
    j["point_count"] = +h.numberOfPointRecords;
    j["points_by_return"] = {+h.numberOfPointsByReturn[0], +h.numberOfPointsByReturn[1],
                             +h.numberOfPointsByReturn[2], +h.numberOfPointsByReturn[3],
                             +h.numberOfPointsByReturn[4]};
    j["scale"] = {+h.xScale, +h.yScale, +h.zScale};
    j["offset"] = {+h.xOffset, +h.yOffset, +h.zOffset};
    j["min"] = {+h.minX, +h.minY, +h.minZ};
    j["max"] = {+h.maxX, +h.maxY, +h.maxZ};
    j["first_point"] = hasFirst ? nlohmann::ordered_json{p.x, p.y, p.z} : nlohmann::ordered_json();
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
    j["present_records"] = info.presentRecords;
    j["readable_points"] = info.readablePoints;
    j["warnings"] = warnings;
    printFullLasInfo(path, true, stats, &j);
    std::printf("%s\n", j.dump(2).c_str());
}

}  // namespace

void checkLasFile(const std::string& path, LasHeader& header, bool layout20) {
    switch (orv::ReadLasHeader(path.c_str(), header)) {
        case 0:
            return;
        case -1:
            throw CommandError("cannot read '" + path + "'");
        default:
            break;
    }
    if (layout20) {
        // The 2.0 layout has no signature: the character '2' in the version byte marks it.
        char head[offsetof(Las2Header, versionMajor) + 1] = {};
        std::ifstream in(path, std::ios::binary);
        if (in.read(head, sizeof head) && head[sizeof head - 1] == '2') return;
    }
    throw CommandError("'" + path + "' is not a LAS file");
}

void printLasInfo(const std::string& path, bool json, bool stats) {
    orv::LasFileInfo info;
    switch (orv::ReadLasInfo(path.c_str(), info)) {
        case 0:
            break;
        case -1:
            throw CommandError("cannot read '" + path + "'");
        default:
            throw CommandError("'" + path + "' is not a LAS file");
    }
    orv::XPnt3d first;
    const bool hasFirst = orv::ReadFirstPntFromLas(path.c_str(), first) == 1;
    const std::vector<std::string> warnings = warningsOf(info);
    if (json)
        printJson(path, stats, info, warnings, hasFirst, first);
    else
        printText(path, info, hasFirst, first), printFullLasInfo(path, false, stats, nullptr);
    // Warnings go to standard error after the report: the file was read, the status stays 0.
    std::fflush(stdout);
    for (const std::string& w : warnings)
        std::fprintf(stderr, "warning: '%s': %s\n", path.c_str(), w.c_str());
}

void addLasInfo(CLI::App& las) {
    auto options = std::make_shared<InfoOptions>();
    CLI::App* cmd =
        las.add_subcommand("info", "Print the header fields and the first point of a LAS file");
    cmd->add_option("FILE", options->path, "LAS file to inspect")->required();
    cmd->add_flag("--json", options->json, "Print one JSON object instead of text");
    cmd->add_flag("--stats", options->stats,
                  "Scan every point: real bounds, returns, classes, GPS time range");
    cmd->callback([options] { printLasInfo(options->path, options->json, options->stats); });
}

}  // namespace orvter
