// Byte images of the two LAS header layouts the library reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// The 227-byte public header block of a 1.x LAS file, little-endian, packed.
struct LasHeader {
    char signature[4] = {};
    uint16_t fileSourceId = 0;
    uint16_t reserved = 0;
    uint32_t guidData1 = 0;
    uint16_t guidData2 = 0;
    uint16_t guidData3 = 0;
    uint8_t guidData4[8] = {};
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    char systemIdentifier[32] = {};
    char generatingSoftware[32] = {};
    uint16_t creationDay = 0;
    uint16_t creationYear = 0;
    uint16_t headerSize = 0;
    uint32_t offsetToPointData = 0;
    uint32_t numberOfVlrs = 0;
    uint8_t pointDataFormat = 0;
    uint16_t pointDataRecordLength = 0;
    uint32_t numberOfPointRecords = 0;
    uint32_t numberOfPointsByReturn[5] = {};
    double xScale = 0.0;
    double yScale = 0.0;
    double zScale = 0.0;
    double xOffset = 0.0;
    double yOffset = 0.0;
    double zOffset = 0.0;
    double maxX = 0.0;
    double minX = 0.0;
    double maxY = 0.0;
    double minY = 0.0;
    double maxZ = 0.0;
    double minZ = 0.0;
};

// The fields a 1.4 header adds after the 227 bytes of LasHeader (file offsets 227 to 374).
// Kept apart so that LasHeader stays the 227 bytes every 1.x reader and writer moves.
struct Las14Extension {
    uint64_t waveformDataOffset = 0;
    uint64_t evlrOffset = 0;
    uint32_t numberOfEvlrs = 0;
    uint64_t numberOfPointRecords = 0;
    uint64_t numberOfPointsByReturn[15] = {};
};

// The 322-byte header of the 2.0 layout; only the named fields are interpreted.
struct Las2Header {
    uint8_t unused0[24] = {};
    uint8_t versionMajor = 0;  // the character '2' in a 2.0 file
    uint8_t unused25[81] = {};
    uint16_t pointRecordLength = 0;
    uint32_t offsetToPointData = 0;
    uint8_t unused112[4] = {};
    uint32_t numberOfPointRecords = 0;
    uint8_t unused120[12] = {};
    uint32_t countsByReturn[5] = {};  // never used
    uint8_t unused152[98] = {};
    double xOffset = 0.0;
    double yOffset = 0.0;
    double zOffset = 0.0;
    uint8_t unused274[48] = {};
};

#pragma pack(pop)

static_assert(sizeof(LasHeader) == 227, "the 1.x public header is 227 bytes");
static_assert(offsetof(LasHeader, versionMajor) == 24, "LasHeader layout");
static_assert(offsetof(LasHeader, systemIdentifier) == 26, "LasHeader layout");
static_assert(offsetof(LasHeader, generatingSoftware) == 58, "LasHeader layout");
static_assert(offsetof(LasHeader, headerSize) == 94, "LasHeader layout");
static_assert(offsetof(LasHeader, offsetToPointData) == 96, "LasHeader layout");
static_assert(offsetof(LasHeader, numberOfVlrs) == 100, "LasHeader layout");
static_assert(offsetof(LasHeader, pointDataFormat) == 104, "LasHeader layout");
static_assert(offsetof(LasHeader, pointDataRecordLength) == 105, "LasHeader layout");
static_assert(offsetof(LasHeader, numberOfPointRecords) == 107, "LasHeader layout");
static_assert(offsetof(LasHeader, numberOfPointsByReturn) == 111, "LasHeader layout");
static_assert(offsetof(LasHeader, xScale) == 131, "LasHeader layout");
static_assert(offsetof(LasHeader, xOffset) == 155, "LasHeader layout");
static_assert(offsetof(LasHeader, zOffset) == 171, "LasHeader layout");
static_assert(offsetof(LasHeader, maxX) == 179, "LasHeader layout");
static_assert(offsetof(LasHeader, minZ) == 219, "LasHeader layout");

// Offsets below are from the start of the file: the extension follows the 227-byte header.
static_assert(sizeof(LasHeader) + sizeof(Las14Extension) == 375, "the 1.4 header is 375 bytes");
static_assert(227 + offsetof(Las14Extension, waveformDataOffset) == 227, "Las14Extension layout");
static_assert(227 + offsetof(Las14Extension, evlrOffset) == 235, "Las14Extension layout");
static_assert(227 + offsetof(Las14Extension, numberOfEvlrs) == 243, "Las14Extension layout");
static_assert(227 + offsetof(Las14Extension, numberOfPointRecords) == 247, "Las14Extension layout");
static_assert(227 + offsetof(Las14Extension, numberOfPointsByReturn) == 255,
              "Las14Extension layout");

static_assert(sizeof(Las2Header) == 322, "the 2.0 header is 322 bytes");
static_assert(offsetof(Las2Header, versionMajor) == 24, "Las2Header layout");
static_assert(offsetof(Las2Header, pointRecordLength) == 106, "Las2Header layout");
static_assert(offsetof(Las2Header, offsetToPointData) == 108, "Las2Header layout");
static_assert(offsetof(Las2Header, numberOfPointRecords) == 116, "Las2Header layout");
static_assert(offsetof(Las2Header, countsByReturn) == 132, "Las2Header layout");
static_assert(offsetof(Las2Header, xOffset) == 250, "Las2Header layout");
static_assert(offsetof(Las2Header, yOffset) == 258, "Las2Header layout");
static_assert(offsetof(Las2Header, zOffset) == 266, "Las2Header layout");
