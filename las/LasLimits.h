// Every limit and buffer size of the LAS code, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "OrvLasFile.h"
#include "OrvLasStream.h"

namespace orv::las {

// The probe looks at no more than this much of a file, so its cost never grows with the cloud.
constexpr uint64_t kProbeWindowBytes = 65536;

// Bytes of a 1.x record the readers interpret (X, Y, Z, intensity, return byte, classification).
constexpr uint32_t kMinRecordLength1x = kLasPointLayouts[0].classification + 1;

// The same for point data formats 6 to 10, whose classification comes after their flag byte.
constexpr uint32_t kMinRecordLength6to10 = kLasPointLayouts[6].classification + 1;

// The highest point data format with a known record layout; a higher one is read as formats 0-5.
constexpr uint8_t kLastKnownPointFormat = kLasLastPointFormat;

// A 1.4 header: the 227 bytes every 1.x header has, then the 64-bit counts up to byte 375.
constexpr uint32_t kHeaderSize14 = 375;

// Bytes of a 2.0 record the readers interpret (three doubles, intensity, return byte, class).
constexpr uint32_t kMinRecordLength20 = 28;

// Length of the format-0 record the writers produce.
constexpr uint32_t kWrittenRecordLength = kLasPointLayouts[0].length;

// Records the writers collect before writing them: 1.25 MiB, which stays in the cache between
// the encoder and the write, and in a short run costs few first touches of fresh memory.
constexpr uint32_t kWriteBufferRecords = 65536;
constexpr size_t kWriteBufferBytes = size_t{kWriteBufferRecords} * kWrittenRecordLength;

// Bytes the bulk reader reads at a time: whole records into a buffer that stays in the cache.
constexpr size_t kReadBlockBytes = size_t{512} << 10;

// Records handled at a time by LasReader, LasWriter and the streams' decoding: about 1 MiB,
// whatever the record length: few system calls, and memory that never grows with the file.
constexpr size_t kRecordBlockBytes = size_t{1} << 20;

// Points the bulk reader reserves up front for a compressed file: a count the file may not hold
// must not claim memory before the records are there.
constexpr uint64_t kCompressedReservePoints = uint64_t{1} << 22;

// The longest line of point text taken: hundreds of fields, where a point needs a few dozen.
constexpr size_t kMaxTextLineBytes = 65536;

// Digits after the point of a coordinate read from text: a scale of 10^-12 is finer than any
// instrument; more digits are the noise of a binary fraction.
constexpr int kMaxTextDecimals = 12;

}  // namespace orv::las
