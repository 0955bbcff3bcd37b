// One PROJ context per thread, with PROJ's messages kept for error texts rather than printed.
#include "crs/ProjContext.h"

namespace orv {
namespace crs {
namespace {

// The last message of the thread's context, which PROJ would otherwise print.
thread_local std::string t_lastMessage;

void keepMessage(void*, int level, const char* message) {
    if (level <= PJ_LOG_ERROR && message) t_lastMessage = message;
}

void quiet(void*, int, const char*) {}

}  // namespace

ContextPtr newContext(bool network) {
    ContextPtr ctx(proj_context_create());
    proj_log_func(ctx.get(), nullptr, quiet);
    // The library decides, not PROJ_NETWORK: a grid fetch that fails midway lets PROJ fall back
    // to a lesser transformation without a word.
    proj_context_set_enable_network(ctx.get(), network ? 1 : 0);
    return ctx;
}

PJ_CONTEXT* threadContext() {
    thread_local ContextPtr ctx = [] {
        ContextPtr c(proj_context_create());
        proj_log_func(c.get(), nullptr, keepMessage);
        proj_context_set_enable_network(c.get(), 0);
        return c;
    }();
    return ctx.get();
}

std::string lastMessage(PJ_CONTEXT* ctx) {
    const int err = proj_context_errno(ctx);
    std::string text = err ? proj_context_errno_string(ctx, err) : "";
    if (ctx == threadContext() && !t_lastMessage.empty() && t_lastMessage != text)
        text = text.empty() ? t_lastMessage : text + " (" + t_lastMessage + ")";
    return text;
}

PjPtr createCrs(PJ_CONTEXT* ctx, const std::string& definition) {
    t_lastMessage.clear();
    PjPtr p(proj_create(ctx, definition.c_str()));
    if (p && !proj_is_crs(p.get())) p.reset();
    return p;
}

}  // namespace crs
}  // namespace orv
