// The one rule for a thread count a caller asks for.
#pragma once

#include "OrvExport.h"

namespace orv {

// Threads for `asked`: 0 means every core; at least 1, and at most `most` when it is given.
ORV_API unsigned threadCount(unsigned asked, unsigned most = 0);

}  // namespace orv
