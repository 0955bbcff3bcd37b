// What the terrain commands share: a LAS input read block by block into the columns the
// terrain jobs take (records kept, so that a copy changes only what it must), and its output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Command.h"
#include "OrvLasFile.h"
#include "OrvTerrain.h"

namespace orvter {

class TerrainInput {
public:
    // Opens the file; throws CommandError when it cannot be read as LAS.
    explicit TerrainInput(const std::string& arg);
    const InputPath& path() const { return m_in; }
    const orv::LasFileHeader& header() const { return m_reader.header(); }
    uint64_t pointCount() const { return m_reader.pointCount(); }
    // The header's bounds in x and y; a pass over the points when they say nothing.
    orv::TerrainExtent extent();
    // Reads and decodes the next block; false at the end.
    bool next();
    const orv::TerrainBlock& block() const { return m_block; }
    uint8_t* records() { return m_raw.data(); }
    // Back to the first record for another pass.
    void rewind();
    // The CRS as WKT ("" without one).
    std::string wkt() const;

private:
    InputPath m_in;
    orv::LasReader m_reader;
    std::vector<uint8_t> m_raw;
    std::vector<double> m_x, m_y, m_z;
    std::vector<uint8_t> m_cls, m_ret, m_num;
    std::vector<uint16_t> m_intensity;
    orv::TerrainBlock m_block;
};

// Stores `classes` into the classification of `n` records of the header's format, the flags
// that share its byte in formats 0 to 5 kept.
void setClasses(const orv::LasFileHeader& h, uint8_t* records, const uint8_t* classes, size_t n);

// The options every terrain command that writes a LAS copy takes.
struct TerrainCopyOptions {
    std::string in, out;
    bool laz = false, quiet = false, json = false;
};
void addTerrainCopyOptions(CLI::App& cmd, TerrainCopyOptions& o);

// The summary line (or JSON object) of a terrain command, with its own counts.
void reportTerrain(const TerrainCopyOptions& o, const char* verb, uint64_t points, double seconds,
                   nlohmann::ordered_json counts);

void addLasGround(CLI::App& las);
void addLasHag(CLI::App& las);
void addLasNoise(CLI::App& las);
void addLasDem(CLI::App& las);

}  // namespace orvter
