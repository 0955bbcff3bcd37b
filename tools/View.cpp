// orvter view: a COPC file in the browser, served with its page from 127.0.0.1. The page asks
// for the nodes its view needs by byte range; nothing leaves the machine.
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "LocalServer.h"
#include "OrvLasFile.h"

namespace orvter {
namespace {

struct ViewOptions {
    std::string in, web;
    int port = 0;
    bool log = false;
};

// The files of the page, built from web/ by the bundler.
const char* const kPageFiles[][2] = {
    {"index.html", "text/html; charset=utf-8"},
    {"app.js", "text/javascript; charset=utf-8"},
    {"laz-perf.wasm", "application/wasm"},
};

bool hasPage(const std::string& dir) {
    for (const auto& f : kPageFiles)
        if (::access((dir + "/" + f[0]).c_str(), R_OK) != 0) return false;
    return !dir.empty();
}

// Where the page is: --web, else installed beside the program, else the build tree's copy.
std::string pageDir(const std::string& given) {
    if (!given.empty()) {
        if (!hasPage(given))
            throw CommandError("'" + given +
                               "' does not hold the viewer's index.html, app.js "
                               "and laz-perf.wasm");
        return given;
    }
    std::vector<std::string> candidates;
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<size_t>(n));
        dir = dir.substr(0, dir.rfind('/'));
        candidates.push_back(dir + "/../share/orvter/web");
    }
#ifdef ORV_WEB_BUILD_DIR
    candidates.push_back(ORV_WEB_BUILD_DIR);
#endif
    for (const std::string& dir : candidates)
        if (hasPage(dir)) return dir;
    throw CommandError(
        "the viewer's page is not installed: build orvter where Node.js is present, after "
        "'npm ci' in web/ (scripts/setup.sh tool does both), or give its folder with --web");
}

// A COPC file starts its VLRs with the copc info record (user ID "copc", record ID 1).
void requireCopc(const InputPath& in, const std::string& path) {
    orv::LasReader reader;
    const int opened = reader.open(path.c_str());
    if (opened != 0 && opened != -3)
        throw CommandError("'" + in.name() + "' is not a LAS file: " + reader.error());
    const auto& vlrs = reader.header().vlrs;
    if (vlrs.empty() || vlrs.front().userId != "copc" || vlrs.front().recordId != 1)
        throw CommandError("'" + in.name() +
                           "' is not a COPC file (its first VLR is not the copc info record); "
                           "'orvter las copc' makes one from any LAS or LAZ file");
}

void run(const ViewOptions& o) {
    const InputPath in(o.in);
    LocalServer server;
    // Opened once, and checked and served through that one descriptor: a link re-pointed or a
    // file replaced after this line is never what the page reads.
    server.add("/cloud.copc.laz", {in.path(), "application/octet-stream"});
    requireCopc(in, server.pathOf("/cloud.copc.laz"));
    const std::string web = pageDir(o.web);
    for (const auto& f : kPageFiles) server.add(std::string("/") + f[0], {web + "/" + f[0], f[1]});
    server.add("/", {web + "/index.html", "text/html; charset=utf-8"});
    const int port = server.listen(o.port);
    std::printf("Serving %s at http://127.0.0.1:%d/ (Ctrl-C stops)\n", in.name().c_str(), port);
    std::fflush(stdout);
    std::function<void(const std::string&)> log;
    if (o.log) log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    server.run(log);
}

}  // namespace

void addView(CLI::App& app) {
    auto options = std::make_shared<ViewOptions>();
    CLI::App* cmd = app.add_subcommand(
        "view",
        "Show a COPC file in 3D in the browser: serves a page on 127.0.0.1 that fetches only the "
        "octree nodes its view needs, by byte range, with more detail nearer the eye");
    cmd->add_option("IN", options->in, "COPC file to show")->required();
    cmd->add_option("--port", options->port, "Port to listen on (default: one that is free)")
        ->check(CLI::Range(0, 65535));
    cmd->add_option("--web", options->web, "Folder of the page (default: the installed one)");
    cmd->add_flag("--log", options->log, "Print every request on standard error");
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
