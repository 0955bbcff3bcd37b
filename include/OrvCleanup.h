// What a program built on the library does about being ended from outside.
#pragma once

#include "OrvExport.h"

namespace orv {

// Makes SIGTERM, SIGHUP, SIGINT and SIGPIPE remove the temporary name of any file being put in
// place before they end the process, as they would have ended it: a file being written never
// has a name of its own otherwise, so nothing is left behind. Signals the process ignores stay
// ignored. For programs: a library user with its own handlers calls nothing.
ORV_API void removeTemporariesOnSignals() noexcept;

}  // namespace orv
