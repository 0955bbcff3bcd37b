// Full-fidelity LAS: every header field, VLR and point field of LAS 1.0 to 1.4, read in blocks of
// the caller's size and written back without loss.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OrvExport.h"
#include "OrvProgress.h"

namespace orv {

// Where the fields of a point record of one format lie; -1 for a field the format lacks.
// Every format starts with int32 X, Y, Z at 0, 4, 8, uint16 intensity at 12 and its return byte
// at 14; formats 0 to 5 share one core (bytes 0 to 19), formats 6 to 10 another (bytes 0 to 29).
//   formats 0-5:  14 return (bits 0-2), returns (3-5), scan direction (6), edge (7)
//                 15 classification (bits 0-4), synthetic (5), key-point (6), withheld (7)
//                 16 int8 scan angle rank   17 uint8 user data   18 uint16 point source ID
//   formats 6-10: 14 return (bits 0-3), returns (4-7)
//                 15 synthetic, key-point, withheld, overlap (bits 0-3), scanner channel (4-5),
//                    scan direction (6), edge (7)
//                 16 classification   17 user data   18 int16 scan angle (0.006 degree units)
//                 20 uint16 point source ID   22 double GPS time
struct LasPointLayout {
    uint16_t length;        // bytes of the standard record; more are the extra bytes
    bool extendedCore;      // formats 6 to 10: 4-bit returns, flag byte, int16 scan angle
    int8_t flagByte;        // classification flags, channel, scan direction, edge (6-10)
    int8_t classification;  // uint8
    int8_t scanAngle;       // int8 rank (0-5) or int16 (6-10)
    int8_t userData;        // uint8
    int8_t pointSourceId;   // uint16
    int8_t gpsTime;         // double
    int8_t rgb;             // three uint16: red, green, blue
    int8_t nir;             // uint16
    int8_t wavePacket;      // uint8 index, uint64 offset, uint32 size, 4 floats
};
// Offsets every format shares.
inline constexpr int kLasXOffset = 0, kLasYOffset = 4, kLasZOffset = 8;
inline constexpr int kLasIntensityOffset = 12, kLasReturnByteOffset = 14;

inline constexpr LasPointLayout kLasPointLayouts[] = {
    {20, false, -1, 15, 16, 17, 18, -1, -1, -1, -1},  // 0
    {28, false, -1, 15, 16, 17, 18, 20, -1, -1, -1},  // 1
    {26, false, -1, 15, 16, 17, 18, -1, 20, -1, -1},  // 2
    {34, false, -1, 15, 16, 17, 18, 20, 28, -1, -1},  // 3
    {57, false, -1, 15, 16, 17, 18, 20, -1, -1, 28},  // 4
    {63, false, -1, 15, 16, 17, 18, 20, 28, -1, 34},  // 5
    {30, true, 15, 16, 18, 17, 20, 22, -1, -1, -1},   // 6
    {36, true, 15, 16, 18, 17, 20, 22, 30, -1, -1},   // 7
    {38, true, 15, 16, 18, 17, 20, 22, 30, 36, -1},   // 8
    {59, true, 15, 16, 18, 17, 20, 22, -1, -1, 30},   // 9
    {67, true, 15, 16, 18, 17, 20, 22, 30, 36, 38},   // 10
};
// The highest point format with a known layout.
inline constexpr uint8_t kLasLastPointFormat = 10;
// Bytes of the wave packet fields.
inline constexpr uint16_t kLasWavePacketLength = 29;

// One variable-length record: in the header's list, or (extended) after the points.
// Texts keep every byte of their fixed-size field except trailing NULs.
struct LasVlr {
    uint16_t reserved = 0;
    std::string userId;  // 16 bytes in the file
    uint16_t recordId = 0;
    std::string description;  // 32 bytes in the file
    std::vector<uint8_t> payload;
};

// One extra-bytes field described by the extra-bytes VLR (user ID "LASF_Spec", record ID 4).
struct LasExtraField {
    uint8_t dataType = 0;  // 0: untyped bytes (size in `size`), 1-10 the numeric types
    uint8_t options = 0;   // bit 0 no-data, 1 min, 2 max, 3 scale, 4 offset are meaningful
    std::string name;
    std::string description;
    uint32_t offset = 0;  // from the first extra byte of a record
    uint32_t size = 0;    // bytes of the field
    double scale[3] = {1.0, 1.0, 1.0};
    double offsetValue[3] = {0.0, 0.0, 0.0};
};

// What a header says, and what the file holds. The counts, points by return and bounds are what
// the header states; the measured part says how far they can be trusted.
struct LasFileHeader {
    // Identity.
    uint16_t fileSourceId = 0;
    uint16_t globalEncoding = 0;
    uint8_t guid[16] = {};  // file bytes 8 to 23 as they are
    uint8_t versionMajor = 1;
    uint8_t versionMinor = 2;
    std::string systemIdentifier;    // 32 bytes in the file
    std::string generatingSoftware;  // 32 bytes in the file
    uint16_t creationDay = 0;
    uint16_t creationYear = 0;

    // Layout.
    uint16_t headerSize = 0;
    uint32_t offsetToPointData = 0;
    uint32_t numberOfVlrs = 0;  // as stated; `vlrs` holds those that lie within the file
    uint8_t pointFormat = 0;    // without the compression bits
    bool compressed = false;    // bit 7 or 6 of the format byte: records need a decoder
    uint16_t recordLength = 0;

    // Counts and bounds as stated.
    uint32_t legacyPointCount = 0;
    uint32_t legacyPointsByReturn[5] = {};
    uint64_t pointCount = 0;  // the 1.4 64-bit count; 0 without the 1.4 fields
    uint64_t pointsByReturn[15] = {};
    double scale[3] = {0.01, 0.01, 0.01};
    double offset[3] = {0.0, 0.0, 0.0};
    double min[3] = {0.0, 0.0, 0.0};
    double max[3] = {0.0, 0.0, 0.0};
    uint64_t waveformDataOffset = 0;  // 1.3 and later
    uint64_t evlrOffset = 0;          // 1.4
    uint32_t numberOfEvlrs = 0;       // as stated; `evlrs` holds those within the file

    std::vector<LasVlr> vlrs;
    std::vector<LasVlr> evlrs;
    // Bytes a header longer than its version's keeps after the standard fields, and bytes between
    // the last VLR and the first point: kept so a copy loses nothing.
    std::vector<uint8_t> headerExtra;
    std::vector<uint8_t> afterVlrs;

    // Measured against the file.
    uint64_t fileSize = 0;
    bool hasExtension = false;       // the 1.4 fields are present
    uint64_t statedPoints = 0;       // the legacy count, or the 64-bit one when it is 0
    uint64_t presentRecords = 0;     // whole records between point data and file end (or EVLRs)
    uint64_t readablePoints = 0;     // the lesser of the two; 0 when records cannot be read
    uint32_t warnings = 0;           // LasInfoWarning and LasHeaderWarning bits
    std::vector<std::string> notes;  // one line per warning, for people
};

// Ways the VLR lists can disagree with the file (beside the LasInfoWarning bits of OrvLas.h).
enum LasHeaderWarning : uint32_t {
    kLasVlrsCut = 1u << 8,   // a VLR runs past the point data or the file: the list stops there
    kLasEvlrsCut = 1u << 9,  // the same for the extended VLRs
};
// What reading found (set in LasReader::header() as it is found, with its line in `notes`).
enum LasReadWarning : uint32_t {
    kLasChunkTableLost = 1u << 10,  // the LAZ chunk table is unreadable: chunks found in sequence
    kLasRecordsDamaged = 1u << 11,  // compressed records end at damage before the stated count
    kLasPointsInHeader = 1u << 12,  // the offset to point data lies inside the header: no records
};

// The standard record length of a point format; 0 for formats without a known layout.
ORV_API uint16_t lasStandardRecordLength(uint8_t pointFormat);

// The extra-bytes fields of a header, from its extra-bytes VLR; empty without one. Fields that
// do not fit the records' extra bytes are left out.
ORV_API std::vector<LasExtraField> lasExtraFields(const LasFileHeader& header);

// The 192 bytes that describe `field` in the extra-bytes VLR, as lasExtraFields reads them back:
// data type, options (an untyped field's size in the options byte), name and description (cut
// to 32 bytes), and the scale and offset where options bits 3 and 4 say they count. Its offset
// is where the VLR puts it: after the fields described before it.
ORV_API std::vector<uint8_t> lasExtraFieldDescriptor(const LasExtraField& field);

// The header's coordinate reference system: the WKT text of a WKT VLR or EVLR, else empty.
ORV_API std::string lasWkt(const LasFileHeader& header);
// The EPSG code of the GeoTIFF keys' ProjectedCSTypeGeoKey (3072), else GeographicTypeGeoKey
// (2048); 0 without one.
ORV_API uint32_t lasEpsgCode(const LasFileHeader& header);

// Caller-owned column buffers, one value per point; a null pointer skips its field. On reading,
// fields the format lacks are filled with zero; on writing, a null column writes zero.
struct LasColumns {
    int32_t* X = nullptr;  // stored integers
    int32_t* Y = nullptr;
    int32_t* Z = nullptr;
    double* x = nullptr;  // stored integer x scale + offset
    double* y = nullptr;
    double* z = nullptr;
    uint16_t* intensity = nullptr;
    uint8_t* returnNumber = nullptr;
    uint8_t* numberOfReturns = nullptr;
    uint8_t* classificationFlags = nullptr;  // synthetic, key-point, withheld, overlap: bits 0-3
    uint8_t* scannerChannel = nullptr;
    uint8_t* scanDirection = nullptr;
    uint8_t* edgeOfFlightLine = nullptr;
    uint8_t* classification = nullptr;  // 0-31 for formats 0-5, 0-255 for 6-10
    int16_t* scanAngle = nullptr;       // as stored: degrees (0-5), 0.006 degree units (6-10)
    float* scanAngleDegrees = nullptr;
    uint8_t* userData = nullptr;
    uint16_t* pointSourceId = nullptr;
    double* gpsTime = nullptr;
    uint16_t* red = nullptr;
    uint16_t* green = nullptr;
    uint16_t* blue = nullptr;
    uint16_t* nir = nullptr;
    uint8_t* wavePacketIndex = nullptr;
    uint64_t* waveformOffset = nullptr;
    uint32_t* waveformSize = nullptr;
    float* returnPointLocation = nullptr;
    float* waveDx = nullptr;
    float* waveDy = nullptr;
    float* waveDz = nullptr;
    // The record's bytes past its format's standard length, packed, that many per point.
    uint8_t* extraBytes = nullptr;
};

// Columns that own their memory, for one block of points at a time, reused block after block.
class ORV_API LasColumnBuffer {
public:
    // Every column with room for `count` points, and `extraPerPoint` extra bytes each (none:
    // no extra-bytes column); valid until the next call.
    LasColumns columns(size_t count, size_t extraPerPoint = 0);

private:
    std::vector<int32_t> m_X, m_Y, m_Z;
    std::vector<double> m_x, m_y, m_z, m_gps;
    std::vector<uint16_t> m_intensity, m_source, m_red, m_green, m_blue, m_nir;
    std::vector<uint8_t> m_ret, m_num, m_flags, m_channel, m_dir, m_edge, m_cls, m_user, m_index,
        m_extra;
    std::vector<int16_t> m_angle;
    std::vector<float> m_degrees, m_location, m_dx, m_dy, m_dz;
    std::vector<uint64_t> m_waveOffset;
    std::vector<uint32_t> m_waveSize;
};

// Decodes `count` records of the header's format and record length into the columns.
ORV_API void decodeLasRecords(const LasFileHeader& header, const uint8_t* records, size_t count,
                              const LasColumns& columns);
// Encodes `count` points from the columns into records of the header's format and record length.
// X, Y, Z come from the stored-integer columns when given, else from x, y, z quantised by
// rounding with the header's scale and offset. Returns the points written; a point whose
// coordinate does not fit an int32 (or is NaN) is left out and ends the call there.
ORV_API size_t encodeLasRecords(const LasFileHeader& header, const LasColumns& columns,
                                size_t count, uint8_t* records);

// Threads that readers and writers of compressed records start with, for the whole process
// (the bulk reader and the point streams included): 0, the default, every core; 1 the caller's
// thread only. Files come out the same whatever the number.
ORV_API void lasSetDefaultThreads(unsigned threads);
ORV_API unsigned lasDefaultThreads();

// Reads a LAS 1.x file record block by record block, in memory that does not grow with the file.
class ORV_API LasReader {
public:
    LasReader();
    LasReader(const LasReader&) = delete;
    LasReader& operator=(const LasReader&) = delete;
    ~LasReader();

    // Opens `path` and reads its header, VLRs and EVLRs. 0 on success; -1 when the file cannot be
    // opened or read; -2 when it is not a LAS 1.x file (shorter than 227 bytes, no "LASF", the
    // 2.0 layout); -3 when its records cannot be decoded (compressed, an unknown format, records
    // shorter than their format's). After -3 the header is still available.
    int open(const char* path);
    void close();
    bool isOpen() const;
    // Why the last open failed, for people; after reading, why the records ended early.
    const std::string& error() const;
    const LasFileHeader& header() const;
    // Records the reader gives: the header's count, bounded by what the file holds.
    uint64_t pointCount() const;
    // Index of the next record to be read.
    uint64_t position() const;
    // Moves to record `index` (at most pointCount()); false when it cannot.
    bool seek(uint64_t index);
    // Threads that decode compressed records, taking effect at the next open: 0 every core, 1
    // the caller's thread only. New readers take lasDefaultThreads().
    void setThreads(unsigned threads);

    // Copies up to `maxRecords` whole records (header().recordLength bytes each) into `out`.
    // Returns the records copied: 0 at the end, fewer when the file turns out shorter.
    // A failing read throws orv::FileError.
    size_t readRaw(uint8_t* out, size_t maxRecords);
    // Reads up to `maxRecords` records and decodes them into the columns; returns their number.
    size_t read(const LasColumns& columns, size_t maxRecords);
    // Tells `progress` (may be empty) the position after each block read against pointCount(),
    // and once, when the records end, the position as the total. Kept across open.
    void setProgress(ProgressCallback progress);

private:
    friend class LasSurvey;  // opens the file once and reads on through this reader
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Sets the header's creation day of the year (1 to 366) and year to today's (UTC): what a new
// file carries. A copy keeps its source's.
ORV_API void lasStampCreationDate(LasFileHeader& header);

// Writes a LAS 1.0 to 1.4 file (formats 0 to 5 up to 1.3, 0 to 10 in 1.4) of any scale and
// offset, with the caller's VLRs and EVLRs. Counts, points by return and bounds come from the
// records written. The target is replaced only when close succeeds.
class ORV_API LasWriter {
public:
    LasWriter();
    LasWriter(const LasWriter&) = delete;
    LasWriter& operator=(const LasWriter&) = delete;
    // Abandons a file not closed: the target stays as it was.
    ~LasWriter();

    // Starts a file shaped by `header`: identity, version, point format, record length (at least
    // the format's; more are extra bytes), scale, offset, global encoding, VLRs, EVLRs, the kept
    // header and post-VLR bytes. Its counts, bounds, sizes and offsets are ignored. 0, or -1 when
    // the header cannot be written as asked (see error()). File failures throw orv::FileError.
    int open(const char* path, const LasFileHeader& header);
    // Opens the LAS or LAZ file at `path` to add points after its own: write and writeRaw take
    // records of its format and record length, and close updates its counts, points by return
    // and bounds (from those it states) and, compressed, puts new chunks after its last with a
    // chunk table of all; its header, VLRs and EVLRs stay otherwise as they are. The file is
    // replaced only when close succeeds, its points copied as stored, never decoded. 0; -1 when
    // it cannot be opened or read; -2 when it is not a LAS 1.x file; -3 when points cannot be
    // added to it (a COPC file, records shorter than stated, an unreadable chunk table, items
    // this writer does not write; see error()). File failures throw orv::FileError.
    int append(const char* path);
    // The header of the file being written: after append, the file's own.
    const LasFileHeader& header() const;
    // Compresses the records from the next open on whatever the path's name (one ending in .laz
    // always is): for a target whose name says nothing, such as standard output.
    void setCompressed(bool compressed);
    const std::string& error() const;
    // Appends `count` records of the header's format and record length.
    void writeRaw(const uint8_t* records, size_t count);
    // Encodes and appends points as encodeLasRecords does; returns the points written.
    size_t write(const LasColumns& columns, size_t count);
    // Points written so far.
    uint64_t pointCount() const;
    // Tells `progress` (may be empty) the points written after each block against `total`, and
    // once, when close succeeds, the points written as the total. Kept across open.
    void setProgress(ProgressCallback progress, uint64_t total);
    // Threads that compress records, taking effect at the next open: 0 every core, 1 the
    // caller's thread only. New writers take lasDefaultThreads().
    void setThreads(unsigned threads);
    // Points per compressed chunk, taking effect at the next open: 0 (the default) the 50,000
    // other programs write. Smaller chunks seek faster and compress a little worse.
    void setChunkSize(uint32_t points);
    // Writes the EVLRs and the final header and puts the file in place. Throws orv::FileError.
    void close();
    // Abandons the file; never throws.
    void discard() noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace orv
