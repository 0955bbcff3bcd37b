// orvter las render: a PNG top view of a LAS, LAZ or COPC file.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "OrvRender.h"

namespace orvter {
namespace {

struct RenderCommandOptions {
    std::string in, out, size, by = "elevation";
    std::vector<double> bbox;
    bool hillshade = false, bare = false, json = false, strict = false;
    unsigned threads = 0;
};

// "W" (the long side), or "WxH".
void parseSize(const std::string& text, orv::RenderOptions& o) {
    const size_t x = text.find_first_of("xX");
    auto side = [&](const std::string& part) {
        if (!wholeNumber(part).empty() || part.empty() || part.size() > 6)
            throw CommandError("--size takes W or WxH in pixels, not '" + text + "'", kExitUsage);
        const int v = std::stoi(part);
        if (v <= 0) throw CommandError("--size must be positive", kExitUsage);
        return v;
    };
    if (x == std::string::npos) {
        o.longSide = side(text);
    } else {
        o.width = side(text.substr(0, x));
        o.height = side(text.substr(x + 1));
    }
}

void run(const RenderCommandOptions& c) {
    const auto start = std::chrono::steady_clock::now();
    orv::RenderOptions o;
    orv::renderByName(c.by, o.by);  // the option's check allows only the names it knows
    o.hillshade = c.hillshade;
    o.decorations = !c.bare;
    o.threads = c.threads;
    if (!c.size.empty()) parseSize(c.size, o);
    if (!c.bbox.empty()) {
        o.useBox = true;
        std::copy(c.bbox.begin(), c.bbox.end(), o.box);
    }
    const InputPath in(c.in);
    const StatedPoints stated = checkStatedPoints(in, c.strict);
    orv::RenderImage image;
    std::string error;
    if (orv::renderLas(in.path().c_str(), o, image, error) != 0)
        throw CommandError("cannot render '" + in.name() + "': " + error);
    stated.afterCheck(in, image.pointsRead, c.strict);
    OutputPath out(c.out);
    orv::writePng(out.path().c_str(), image, c.threads);
    out.finish();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (c.json) {
        printJson({{"input", in.name()},
                   {"output", out.name()},
                   {"width", image.width},
                   {"height", image.height},
                   {"cell", image.cell},
                   {"bbox", {image.box[0], image.box[1], image.box[2], image.box[3]}},
                   {"z_range", {image.zLow, image.zHigh}},
                   {"points_read", image.pointsRead},
                   {"points_drawn", image.pointsDrawn},
                   {"seconds", seconds}},
                  out.name() == "-");
    } else if (out.name() != "-") {
        std::printf("%s: %d x %d pixels of %s units, %llu of %llu points drawn, %.2f s\n",
                    out.name().c_str(), image.width, image.height, formatNumber(image.cell).c_str(),
                    static_cast<unsigned long long>(image.pointsDrawn),
                    static_cast<unsigned long long>(image.pointsRead), seconds);
    }
}

}  // namespace

void addLasRender(CLI::App& las) {
    auto options = std::make_shared<RenderCommandOptions>();
    CLI::App* cmd = las.add_subcommand(
        "render",
        "Draw a top view of a LAS, LAZ or COPC file to a PNG: per pixel the highest point, "
        "coloured by elevation, class, intensity, colour or point density, with a scale bar and "
        "a legend. One pass over the points; memory grows with the picture, not the cloud");
    cmd->add_option("IN", options->in, "LAS, LAZ or COPC file to read (- reads standard input)")
        ->required();
    cmd->add_option("OUT", options->out, "PNG file to write (- writes standard output)")
        ->required();
    cmd->add_option("--size", options->size,
                    "Pixels: W for the longer side (default 1024), or WxH (square pixels, the "
                    "box in the top left corner)");
    valueList(cmd->add_option("--bbox", options->bbox,
                              "Draw MINX,MINY,MAXX,MAXY (default: the header's)"),
              4);
    cmd->add_option("--by", options->by, "Colour by elevation, class, intensity, rgb or density")
        ->check(CLI::IsMember({"elevation", "class", "intensity", "rgb", "density"}));
    cmd->add_flag("--hillshade", options->hillshade,
                  "Shade by the slope of the highest points, lit from the north-west");
    cmd->add_flag("--bare", options->bare, "No scale bar and no legend");
    cmd->add_option("--threads", options->threads,
                    "Threads drawing and compressing (default: one a core)");
    cmd->add_flag("--json", options->json, "Print the summary as one JSON object");
    cmd->add_flag("--strict", options->strict,
                  "Exit with status 3 when the file holds fewer points than its header states");
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
