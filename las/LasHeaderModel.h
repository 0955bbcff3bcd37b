// Reading a LAS 1.x header: parsed from the first bytes and the file size, the VLRs and EVLRs
// read within bounds. Readers of records reach it through las/LasOpen.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "OrvLasFile.h"
#include "OrvLasFormat.h"
#include "laz/LazCodec.h"
#include "platform/Files.h"

namespace orv::las {

// The bytes of the fixed header worth reading: the 1.4 header is the longest.
constexpr size_t kFixedHeaderBytes = 375;

// Bytes of a VLR's and of an EVLR's own header.
constexpr uint32_t kVlrHeaderBytes = 54;
constexpr uint32_t kEvlrHeaderBytes = 60;

// The fixed fields of a header from its first `got` bytes (at least 227) and the file size,
// with the measurements (stated, present, readable points and their warnings). False when the
// bytes are fewer than 227 or (with `signed_`) not signed "LASF". `raw`, when given, receives the
// 227 bytes. With `fixedHeaderOnly` the records may start right after the 227 fixed bytes,
// whatever header size and version the header states (the lean readers never read those).
bool parseFixedHeader(const uint8_t* bytes, size_t got, uint64_t fileSize, LasFileHeader& out,
                      LasHeader* raw = nullptr, bool signed_ = true, bool fixedHeaderOnly = false);

// Adds a warning: its bit, and its line for people.
void note(LasFileHeader& header, uint32_t bit, std::string text);

// The 1.4 fields as the old readers keep them.
Las14Extension extensionOf(const LasFileHeader& header);

// Reads the header from a file opened and not yet read, whose length (as measured once by the
// caller) is `size`. 0 on success; -1 when the file cannot be read; -2 when it is shorter than
// 227 bytes or not signed "LASF". With `withVlrs` the VLRs,
// EVLRs and kept bytes are read too; a list that runs past the point data or the file stops
// there with a warning.
int readHeader(platform::InputFile& file, uint64_t size, LasFileHeader& out, bool withVlrs,
               LasHeader* raw = nullptr);

// The first bytes of a file opened and not yet read, as readHeader reads them: into `bytes`,
// `got` of them. 0, -1 or -2 as readHeader.
int readFixedBytes(platform::InputFile& file, uint64_t size, uint8_t (&bytes)[kFixedHeaderBytes],
                   size_t& got);

// The VLRs, EVLRs and kept bytes of a header parsed from `file`, as readHeader reads them.
int readVlrs(platform::InputFile& file, LasFileHeader& header);

// The same from any positional source (a file, a range reader); the EVLRs only `withEvlrs`.
int readHeader(const laz::ByteSource& source, LasFileHeader& out, bool withEvlrs);

// The byte length of a version's standard header: 227 up to 1.2, 235 for 1.3, 375 for 1.4.
uint16_t standardHeaderSize(uint8_t versionMajor, uint8_t versionMinor);

}  // namespace orv::las
