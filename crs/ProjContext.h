// The PROJ context of the calling thread, and owners for PROJ's objects.
#pragma once

#include <proj.h>

#include <memory>
#include <string>

namespace orv {
namespace crs {

struct PjDeleter {
    void operator()(PJ* p) const { proj_destroy(p); }
};
using PjPtr = std::unique_ptr<PJ, PjDeleter>;

struct ContextDeleter {
    void operator()(PJ_CONTEXT* c) const { proj_context_destroy(c); }
};
using ContextPtr = std::unique_ptr<PJ_CONTEXT, ContextDeleter>;

// A fresh context that keeps PROJ's messages instead of printing them; PROJ's network (grids
// fetched on demand) only when `network`, whatever the environment says.
ContextPtr newContext(bool network = false);
// The calling thread's own context, without PROJ's network: PROJ objects may not be shared
// between threads.
PJ_CONTEXT* threadContext();
// PROJ's last message on `ctx`, for an error text ("" when it said nothing).
std::string lastMessage(PJ_CONTEXT* ctx);
// A CRS object from any definition PROJ accepts; null when it is not a CRS.
PjPtr createCrs(PJ_CONTEXT* ctx, const std::string& definition);

}  // namespace crs
}  // namespace orv
