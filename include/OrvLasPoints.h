// Points laid out as the caller's memory has them: each field at its own byte stride, so records
// decode straight into an array of structures (a numpy structured array, say) and encode from one.
// Also the point format a set of fields needs, and the extra dimensions as typed values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "OrvExport.h"
#include "OrvLasFile.h"

namespace orv {

// The optional field groups of the point formats.
enum LasFieldGroup : uint32_t {
    kLasGpsTimeGroup = 1u << 0,
    kLasRgbGroup = 1u << 1,
    kLasNirGroup = 1u << 2,
    kLasWavePacketGroup = 1u << 3,
    // Formats 6 to 10: overlap flag, scanner channel, int16 scan angle, 15 returns, 256 classes.
    kLasExtendedGroup = 1u << 4,
};
// The groups a point format has; 0 for formats without a known layout.
ORV_API uint32_t lasPointFormatGroups(uint8_t pointFormat);
// The lowest-numbered point format that has every group of `groups`.
ORV_API uint8_t lasPointFormatFor(uint32_t groups);
// The lowest LAS 1.x minor version that holds a point format: 2 up to format 3, 3 for 4 and 5,
// 4 from 6.
ORV_API uint8_t lasMinorVersionFor(uint8_t pointFormat);
// The extra bytes of each record: its length past its format's standard one.
ORV_API size_t lasExtraByteCount(const LasFileHeader& header);

// How an extra dimension's values reach the caller: `count` (1 to 3) values of `type`, `size`
// bytes in all. Untyped fields stay bytes; numbers keep their type, or become doubles when the
// field has a scale or an offset (options bit 3 or 4).
enum class LasValueType : uint8_t { Bytes, U8, I8, U16, I16, U32, I32, U64, I64, F32, F64 };
struct LasExtraValues {
    LasValueType type = LasValueType::Bytes;
    uint8_t count = 1;
    uint32_t size = 0;
};
ORV_API LasExtraValues lasExtraValues(const LasExtraField& field);

// Decodes `field` of `count` records into values as lasExtraValues says. `extra` is the first
// record's first extra byte, `stride` the bytes from one record to the next; one point's values
// are written contiguous, `outStride` bytes apart.
ORV_API void decodeLasExtraField(const LasExtraField& field, const uint8_t* extra, size_t stride,
                                 size_t count, uint8_t* out, size_t outStride);
// The reverse: scaled values are stored as round((value - offset) / scale). Returns the points
// encoded; a value that does not fit the field's type (or is NaN) ends the call there.
ORV_API size_t encodeLasExtraField(const LasExtraField& field, const uint8_t* in, size_t inStride,
                                   size_t count, uint8_t* extra, size_t stride);

// A column at a byte stride: value i lies at (uint8_t*)data + i * stride, at any alignment.
template <class T>
struct LasStrided {
    T* data = nullptr;
    size_t stride = sizeof(T);
};

// An extra dimension decoded into (or encoded from) a column of lasExtraValues' form.
struct LasExtraColumn {
    const LasExtraField* field = nullptr;
    uint8_t* data = nullptr;
    size_t stride = 0;
};

// The fields of LasColumns, each at its own stride, plus the single flags, the scan angle in
// whole degrees and the typed extra dimensions. A null column is skipped on reading and writes
// zero; fields the format lacks read as zero.
struct LasStridedColumns {
    LasStrided<int32_t> X, Y, Z;
    LasStrided<double> x, y, z;
    LasStrided<uint16_t> intensity;
    LasStrided<uint8_t> returnNumber, numberOfReturns;
    LasStrided<uint8_t> classificationFlags;  // all four flags, bits 0-3
    // One flag each, 0 or 1. On writing they count only without classificationFlags.
    LasStrided<uint8_t> synthetic, keyPoint, withheld, overlap;
    LasStrided<uint8_t> scannerChannel, scanDirection, edgeOfFlightLine, classification;
    LasStrided<int16_t> scanAngle;     // as stored: degrees (0-5), 0.006 degree units (6-10)
    LasStrided<int8_t> scanAngleRank;  // whole degrees, whatever the format
    LasStrided<float> scanAngleDegrees;
    LasStrided<uint8_t> userData;
    LasStrided<uint16_t> pointSourceId;
    LasStrided<double> gpsTime;
    LasStrided<uint16_t> red, green, blue, nir;
    LasStrided<uint8_t> wavePacketIndex;
    LasStrided<uint64_t> waveformOffset;
    LasStrided<uint32_t> waveformSize;
    LasStrided<float> returnPointLocation, waveDx, waveDy, waveDz;
    // The record's extra bytes, lasExtraByteCount of them from each point's address.
    LasStrided<uint8_t> extraBytes;
    // Typed extra dimensions; on writing they overwrite their bytes of extraBytes.
    const LasExtraColumn* extraFields = nullptr;
    size_t extraFieldCount = 0;
};

// Decodes `count` records of the header's format and record length into the columns.
ORV_API void decodeLasRecords(const LasFileHeader& header, const uint8_t* records, size_t count,
                              const LasStridedColumns& columns);
// Encodes `count` points into records as encodeLasRecords does for LasColumns; a typed extra
// dimension that does not fit its field also ends the call at that point.
ORV_API size_t encodeLasRecords(const LasFileHeader& header, const LasStridedColumns& columns,
                                size_t count, uint8_t* records);
// Reads up to `maxRecords` records and decodes them into the columns; returns their number.
ORV_API size_t readLasPoints(LasReader& reader, const LasStridedColumns& columns,
                             size_t maxRecords);

}  // namespace orv
