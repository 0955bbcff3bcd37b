// The coordinate reference system of a LAS file: read from whatever records it carries, and
// written in the form its version needs.
#pragma once

#include <string>

#include "OrvCrs.h"
#include "OrvExport.h"
#include "OrvLasFile.h"

namespace orv {

// The header's CRS: its WKT record (VLR or EVLR) when PROJ reads it, else its GeoTIFF keys
// (a projected or geographic code, with a vertical one making a compound CRS); empty when it
// carries neither. `note` says why records present gave no CRS.
ORV_API Crs lasCrs(const LasFileHeader& header, std::string* note = nullptr);

// The header's CRS records already have the form its version and point format need: 1.4 formats
// 6 to 10 a WKT record with global encoding bit 4 and no GeoTIFF keys; 1.4 formats 0 to 5 either
// form (bit 4 naming the one used); 1.0 to 1.3 GeoTIFF keys. True without CRS records.
ORV_API bool lasCrsFormFits(const LasFileHeader& header);

// Replaces the header's CRS records by `crs` (none when it is empty): a WKT record and bit 4 in
// 1.4, GeoTIFF keys before. 0, or -1 with `error` set when no GeoTIFF key describes the CRS
// (it has no EPSG code) for a version before 1.4; the header is then unchanged.
ORV_API int lasSetCrs(LasFileHeader& header, const Crs& crs, std::string* error = nullptr);

// Scale and offset for points with steps `inScale` in `from`, moved into `to` within min..max:
// the same precision in the target's units (decimal steps; 1e-7 degree at most for a geographic
// target), an offset at the centre, and steps coarse enough for the stored int32.
ORV_API void lasReprojectedQuantisation(const double inScale[3], const Crs& from, const Crs& to,
                                        const double min[3], const double max[3], double scale[3],
                                        double offset[3]);

// Moves the points of `n` records of `from`'s format into another CRS in place: X, Y and Z are
// read with `from`'s scale and offset, transformed, and stored with `to`'s; every other byte
// stays. Returns n, or the index of the first point that cannot be transformed, or (with `unfit`
// set) whose coordinates do not fit `to`'s scale and offset.
ORV_API size_t lasReprojectRecords(const LasFileHeader& from, const LasFileHeader& to,
                                   uint8_t* records, size_t n, CrsTransform& transform,
                                   bool& unfit);

}  // namespace orv
