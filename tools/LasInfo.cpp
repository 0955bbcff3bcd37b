// orvter las info: the header fields of a LAS file and its first point.
#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "Command.h"
#include "OrvLas.h"

namespace orvter {
namespace {

struct InfoOptions {
    std::string path;
    bool json = false;
};

std::string triple(double a, double b, double c) {
    return formatNumber(a) + " " + formatNumber(b) + " " + formatNumber(c);
}

void printText(const std::string& path, const LasHeader& h, bool hasFirst, const orv::XPnt3d& p) {
    std::printf("file:              %s\n", path.c_str());
    std::printf("version:           %u.%u\n", h.versionMajor, h.versionMinor);
    std::printf("point format:      %u\n", h.pointDataFormat);
    std::printf("record length:     %u\n", h.pointDataRecordLength);
    std::printf("header size:       %u\n", h.headerSize);
    std::printf("offset to points:  %u\n", h.offsetToPointData);
    std::printf("number of points:  %u\n", h.numberOfPointRecords);
    std::printf("points by return:  %u %u %u %u %u\n", h.numberOfPointsByReturn[0],
                h.numberOfPointsByReturn[1], h.numberOfPointsByReturn[2],
                h.numberOfPointsByReturn[3], h.numberOfPointsByReturn[4]);
    std::printf("scale:             %s\n", triple(h.xScale, h.yScale, h.zScale).c_str());
    std::printf("offset:            %s\n", triple(h.xOffset, h.yOffset, h.zOffset).c_str());
    std::printf("min:               %s\n", triple(h.minX, h.minY, h.minZ).c_str());
    std::printf("max:               %s\n", triple(h.maxX, h.maxY, h.maxZ).c_str());
    if (hasFirst)
        std::printf("first point:       %s\n", triple(p.x, p.y, p.z).c_str());
    else
        std::printf("first point:       none (not within the first 64 KiB of the file)\n");
}

void printHeaderJson(const LasHeader& h, bool hasFirst, const orv::XPnt3d& p) {
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

void printLasInfo(const std::string& path, bool json) {
    LasHeader header;
    checkLasFile(path, header);
    orv::XPnt3d first;
    const bool hasFirst = orv::ReadFirstPntFromLas(path.c_str(), first) == 1;
    if (json)
        printHeaderJson(header, hasFirst, first);
    else
        printText(path, header, hasFirst, first);
}

void addLasInfo(CLI::App& las) {
    auto options = std::make_shared<InfoOptions>();
    CLI::App* cmd =
        las.add_subcommand("info", "Print the header fields and the first point of a LAS file");
    cmd->add_option("FILE", options->path, "LAS file to inspect")->required();
    cmd->add_flag("--json", options->json, "Print one JSON object instead of text");
    cmd->callback([options] { printLasInfo(options->path, options->json); });
}

}  // namespace orvter
