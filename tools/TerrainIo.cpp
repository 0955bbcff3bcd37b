// Reading LAS blocks for the terrain commands.
#include "TerrainIo.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <limits>

#include "LasCopyCore.h"
#include "OrvLasCrs.h"

namespace orvter {
namespace {

// Records read at a time: a few MiB of records and columns, whatever the cloud.
constexpr size_t kTerrainBlock = 65536;

}  // namespace

TerrainInput::TerrainInput(const std::string& arg) : m_in(arg) {
    openReader(m_reader, m_in);
    const size_t n = kTerrainBlock;
    m_raw.resize(n * m_reader.header().recordLength);
    m_x.resize(n), m_y.resize(n), m_z.resize(n), m_cls.resize(n), m_ret.resize(n), m_num.resize(n);
    m_intensity.resize(n);
    m_block.x = m_x.data(), m_block.y = m_y.data(), m_block.z = m_z.data();
    m_block.classification = m_cls.data(), m_block.returnNumber = m_ret.data();
    m_block.numberOfReturns = m_num.data(), m_block.intensity = m_intensity.data();
}

bool TerrainInput::next() {
    const size_t n = m_reader.readRaw(m_raw.data(), kTerrainBlock);
    m_block.count = n;
    if (n == 0) return false;
    orv::LasColumns c;
    c.x = m_x.data(), c.y = m_y.data(), c.z = m_z.data(), c.classification = m_cls.data();
    c.returnNumber = m_ret.data(), c.numberOfReturns = m_num.data();
    c.intensity = m_intensity.data();
    orv::decodeLasRecords(m_reader.header(), m_raw.data(), n, c);
    return true;
}

void TerrainInput::rewind() {
    if (!m_reader.seek(0)) throw CommandError("cannot read '" + m_in.name() + "' again");
}

orv::TerrainExtent TerrainInput::extent() {
    const orv::LasFileHeader& h = header();
    orv::TerrainExtent e{h.min[0], h.min[1], h.max[0], h.max[1]};
    if (e.maxX > e.minX && e.maxY > e.minY) return e;
    // Bounds that say nothing: measure the points.
    constexpr double kHuge = std::numeric_limits<double>::max();
    e = {kHuge, kHuge, -kHuge, -kHuge};
    while (next())
        for (size_t i = 0; i < m_block.count; ++i) {
            e.minX = std::min(e.minX, m_x[i]), e.maxX = std::max(e.maxX, m_x[i]);
            e.minY = std::min(e.minY, m_y[i]), e.maxY = std::max(e.maxY, m_y[i]);
        }
    rewind();
    if (e.minX > e.maxX) e = {};
    return e;
}

std::string TerrainInput::wkt() const {
    return orv::lasCrs(header()).wkt1();
}

void setClasses(const orv::LasFileHeader& h, uint8_t* records, const uint8_t* classes, size_t n) {
    const orv::LasPointLayout& layout = orv::kLasPointLayouts[h.pointFormat];
    const size_t at = static_cast<size_t>(layout.classification), length = h.recordLength;
    for (size_t i = 0; i < n; ++i) {
        uint8_t& byte = records[i * length + at];
        byte = layout.extendedCore ? classes[i]
                                   : static_cast<uint8_t>((byte & 0xE0) | (classes[i] & 0x1F));
    }
}

void addTerrainCopyOptions(CLI::App& cmd, TerrainCopyOptions& o) {
    cmd.add_option("IN", o.in, "LAS file to read")->required();
    addLasOutput(cmd, o.out, o.laz);
    cmd.add_flag("--json", o.json, "Print the summary as one JSON object");
    cmd.add_flag("--quiet", o.quiet, "Show no progress line");
}

void reportTerrain(const TerrainCopyOptions& o, const char* verb, uint64_t points, double seconds,
                   nlohmann::ordered_json counts) {
    if (o.json) {
        nlohmann::ordered_json j = {{"input", o.in}, {"output", o.out}, {"points", points}};
        for (auto& [key, value] : counts.items()) j[key] = value;
        j["seconds"] = seconds;
        printJson(j, o.out == "-");
        return;
    }
    std::string more;
    for (auto& [key, value] : counts.items()) more += ", " + value.dump() + " " + key;
    std::fprintf(o.out == "-" ? stderr : stdout, "%s %llu points%s in %.3f s\n", verb,
                 static_cast<unsigned long long>(points), more.c_str(), seconds);
}

void addTerrainCommands(CLI::App& las) {
    addLasGround(las);
    addLasHag(las);
    addLasNoise(las);
    addLasDem(las);
}

}  // namespace orvter
