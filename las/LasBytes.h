// The little-endian helpers, under the names the LAS layer uses.
#pragma once

#include "platform/LittleEndian.h"

namespace orv::las {

using platform::load;
using platform::store;

}  // namespace orv::las
