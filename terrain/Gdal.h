// GDAL's drivers, registered once for the process before any terrain job opens or writes a file.
#pragma once

namespace orv::terrain {

void registerGdal();

}  // namespace orv::terrain
