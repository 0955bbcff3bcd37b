// Every fixed size of the LAS code, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::las {

// The probe looks at no more than this much of a file, so its cost never grows with the cloud.
constexpr uint64_t kProbeWindowBytes = 65536;

// Bytes of a 1.x record the readers interpret (X, Y, Z, intensity, return byte, classification).
constexpr uint32_t kMinRecordLength1x = 16;

// The same for point data formats 6 to 10, whose classification is byte 16.
constexpr uint32_t kMinRecordLength6to10 = 17;

// The highest point data format with a known record layout; a higher one is read as formats 0-5.
constexpr uint8_t kLastKnownPointFormat = 10;

// A 1.4 header: the 227 bytes every 1.x header has, then the 64-bit counts up to byte 375.
constexpr uint32_t kHeaderSize14 = 375;

// Bytes of a 2.0 record the readers interpret (three doubles, intensity, return byte, class).
constexpr uint32_t kMinRecordLength20 = 28;

// Length of the format-0 record the writers produce.
constexpr uint32_t kWrittenRecordLength = 20;

// Records the writers collect before one write: about 10 MiB, few system calls, bounded memory.
constexpr uint32_t kWriteBufferRecords = 524288;
constexpr size_t kWriteBufferBytes = size_t{kWriteBufferRecords} * kWrittenRecordLength;

// Bytes the bulk reader reads at a time: whole records into a buffer that stays in the cache.
constexpr size_t kReadBlockBytes = size_t{1} << 20;

// Points the bulk reader zeroes and fills at a time: about 90 KB, so they stay in the cache
// between being zeroed and being filled.
constexpr size_t kReadChunkPoints = 4096;

// The marker a caller puts in any coordinate of an origin to have the stream choose it.
constexpr double kUnsetOrigin = -2147483647.0;

}  // namespace orv::las
