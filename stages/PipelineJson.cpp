// Pipelines written as JSON, in the form and with the stage and option names other point cloud
// pipelines use, so that one written for them with stages we have runs unchanged.
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "OrvStages.h"

namespace orv {
namespace {

using Json = nlohmann::json;

// Thrown while one stage is built; the parser adds its position.
struct Refusal {
    std::string text;
};

// The options of one stage, each taken once; what is left over is refused by name.
class Options {
public:
    Options(const Json& stage, std::string type) : m_stage(stage), m_type(std::move(type)) {}
    bool has(const char* name) const { return m_stage.contains(name); }
    std::string text(const char* name, const std::string& fallback = "") {
        m_used.insert(name);
        if (!m_stage.contains(name)) return fallback;
        const Json& v = m_stage[name];
        if (v.is_string()) return v.get<std::string>();
        if (v.is_number() || v.is_boolean()) return v.dump();
        throw Refusal{m_type + " option '" + name + "' takes a text or a number"};
    }
    double number(const char* name, double fallback) {
        const std::string t = text(name);
        if (t.empty()) return fallback;
        try {
            size_t used = 0;
            const double v = std::stod(t, &used);
            if (used == t.size() && std::isfinite(v)) return v;
        } catch (const std::exception&) {
        }
        throw Refusal{m_type + " option '" + name + "': '" + t + "' is not a number"};
    }
    bool flag(const char* name, bool fallback) {
        const std::string t = text(name);
        if (t.empty()) return fallback;
        if (t == "true") return true;
        if (t == "false") return false;
        throw Refusal{m_type + " option '" + name + "' takes true or false, not '" + t + "'"};
    }
    // Refuses the options no one took.
    void done() const {
        for (auto it = m_stage.begin(); it != m_stage.end(); ++it)
            if (!m_used.count(it.key()) && it.key() != "type" && it.key() != "tag")
                throw Refusal{m_type + " has no option '" + it.key() + "' here"};
    }

private:
    const Json& m_stage;
    std::string m_type;
    std::set<std::string> m_used;
};

// A dimension by its pipeline name ("X" is the scaled coordinate here).
const Dimension* pipelineDimension(const std::string& name) {
    for (const Dimension& d : dimensions())
        if (d.pdalName && name == d.pdalName) return &d;
    const Dimension* d = findDimension(name);
    return d && d->pdalName ? d : nullptr;
}

Crs crsOption(Options& o, const char* name) {
    const std::string t = o.text(name);
    if (t.empty()) return Crs();
    std::string error;
    Crs c = Crs::fromText(t, &error);
    if (c.empty()) throw Refusal{std::string(name) + " '" + t + "': " + error};
    return c;
}

// "([x0, x1], [y0, y1])" or with a third range for z: min and max per axis; returns the axes.
int parseBounds(const std::string& text, double out[6]) {
    std::string t;
    for (char c : text)
        if (c != ' ') t += c;
    double v[6];
    int n = 0;
    size_t at = 0;
    if (t.size() < 2 || t.front() != '(' || t.back() != ')') n = -1;
    for (at = 1; n >= 0 && n < 3 && at < t.size() && t[at] == '['; ++n) {
        const size_t comma = t.find(',', at), close = t.find(']', at);
        if (comma == std::string::npos || close == std::string::npos || comma > close) {
            n = -1;
            break;
        }
        try {
            v[2 * n] = std::stod(t.substr(at + 1, comma - at - 1));
            v[2 * n + 1] = std::stod(t.substr(comma + 1, close - comma - 1));
        } catch (const std::exception&) {
            n = -1;
            break;
        }
        at = close + 1;
        if (at < t.size() && t[at] == ',') ++at;
    }
    if (n < 2 || at != t.size() - 1)
        throw Refusal{"bounds '" + text +
                      "' are not ([xmin, xmax], [ymin, ymax]) or with [zmin, zmax]"};
    for (int a = 0; a < n; ++a) out[a] = v[2 * a], out[3 + a] = v[2 * a + 1];
    return n;
}

// "Classification[2:2], Z[0:100], Intensity(0:500], Classification![7:7]".
std::vector<DimRange> parseLimits(const std::string& text) {
    std::vector<DimRange> out;
    std::stringstream all(text);
    std::string one;
    while (std::getline(all, one, ',')) {
        const size_t b = one.find_first_not_of(' '), e = one.find_last_not_of(' ');
        if (b == std::string::npos) continue;
        one = one.substr(b, e - b + 1);
        const size_t open = one.find_first_of("[(");
        const size_t colon = one.find(':');
        const char last = one.empty() ? 0 : one.back();
        if (open == std::string::npos || colon == std::string::npos || colon < open ||
            (last != ']' && last != ')'))
            throw Refusal{"limits '" + one + "' are not Name[min:max]"};
        DimRange r;
        std::string name = one.substr(0, open);
        if (!name.empty() && name.back() == '!') r.negate = true, name.pop_back();
        r.dim = pipelineDimension(name);
        if (!r.dim) throw Refusal{"limits '" + one + "': no dimension '" + name + "'"};
        r.minOpen = one[open] == '(';
        r.maxOpen = last == ')';
        const std::string lo = one.substr(open + 1, colon - open - 1);
        const std::string hi = one.substr(colon + 1, one.size() - colon - 2);
        try {
            r.min = lo.empty() ? -std::numeric_limits<double>::infinity() : std::stod(lo);
            r.max = hi.empty() ? std::numeric_limits<double>::infinity() : std::stod(hi);
        } catch (const std::exception&) {
            throw Refusal{"limits '" + one + "': the bounds are not numbers"};
        }
        out.push_back(r);
    }
    if (out.empty()) throw Refusal{"filters.range needs limits"};
    return out;
}

uint8_t parseGroups(const std::string& text) {
    static const std::map<std::string, uint8_t> names = {{"first", kReturnFirst},
                                                         {"intermediate", kReturnIntermediate},
                                                         {"last", kReturnLast},
                                                         {"only", kReturnOnly}};
    uint8_t groups = 0;
    std::stringstream all(text);
    std::string one;
    while (std::getline(all, one, ',')) {
        one.erase(0, one.find_first_not_of(' '));
        one.erase(one.find_last_not_of(' ') + 1);
        const auto it = names.find(one);
        if (it == names.end())
            throw Refusal{"filters.returns group '" + one +
                          "' is not first, intermediate, last or only"};
        groups |= it->second;
    }
    return groups ? groups
                  : uint8_t(kReturnFirst | kReturnIntermediate | kReturnLast | kReturnOnly);
}

std::unique_ptr<Stage> lasWriter(Options& o, const std::string& path, bool lazByName) {
    LasWriteOptions w;
    w.path = path;
    const std::string compression = o.text("compression", lazByName ? "laszip" : "none");
    if (compression == "laszip" || compression == "lazperf" || compression == "true")
        w.compressed = true;
    else if (compression != "none" && compression != "false")
        throw Refusal{"writers.las compression '" + compression +
                      "' is not laszip, lazperf or none"};
    w.minorVersion = static_cast<int>(o.number("minor_version", -1));
    w.format = static_cast<int>(o.number("dataformat_id", -1));
    const char* scales[3] = {"scale_x", "scale_y", "scale_z"};
    const char* offsets[3] = {"offset_x", "offset_y", "offset_z"};
    for (int a = 0; a < 3; ++a) {
        if ((w.scaleGiven[a] = o.has(scales[a]))) w.scale[a] = o.number(scales[a], 0);
        if ((w.offsetGiven[a] = o.has(offsets[a]))) w.offset[a] = o.number(offsets[a], 0);
        if (w.scaleGiven[a] && !(w.scale[a] > 0))
            throw Refusal{std::string(scales[a]) + " must be above 0"};
    }
    const std::string forward = o.text("forward", "all");
    if (forward != "all" && forward != "header" && forward != "vlr")
        throw Refusal{"writers.las forwards everything of its input; forward '" + forward +
                      "' is not taken"};
    return makeLasWriter(w);
}

std::unique_ptr<Stage> writer(const std::string& type, Options& o, const std::string& path) {
    if (type == "writers.las") return lasWriter(o, path, writerForName(path) == "laz");
    if (type == "writers.copc") {
        CopcWriteStageOptions c;
        c.path = path;
        c.threads = static_cast<unsigned>(o.number("threads", 0));
        return makeCopcWriter(c);
    }
    if (type == "writers.text") {
        TextWriteOptions t;
        t.path = path;
        const std::string format = o.text("format", "csv");
        if (format != "csv") throw Refusal{"writers.text writes format csv, not '" + format + "'"};
        const std::string order = o.text("order", "X,Y,Z");
        t.fields.clear();
        std::stringstream all(order);
        std::string one;
        while (std::getline(all, one, ',')) {
            one.erase(0, one.find_first_not_of(' '));
            one.erase(one.find_last_not_of(' ') + 1);
            const size_t colon = one.find(':');  // "X:3": a precision, taken from the scale here
            t.fields.push_back(colon == std::string::npos ? one : one.substr(0, colon));
        }
        for (std::string& f : t.fields) {
            const Dimension* d = pipelineDimension(f);
            if (!d) throw Refusal{"writers.text has no dimension '" + f + "'"};
            f = d->name;
        }
        t.separator = o.text("delimiter", ",");
        t.header = o.flag("write_header", true);
        t.quoteHeader = o.flag("quote_header", true);
        t.pdalNames = true;
        if (o.flag("keep_unspecified", false))
            throw Refusal{
                "writers.text writes the dimensions of 'order' only (keep_unspecified false)"};
        return makeTextWriter(t);
    }
    if (type == "writers.png") {
        PngWriteOptions p;
        p.path = path;
        p.colour = o.text("colour", "elevation");
        p.longSide = static_cast<int>(o.number("size", 1024));
        p.hillshade = o.flag("hillshade", false);
        return makePngWriter(p);
    }
    return nullptr;
}

ThinStageOptions thinning(Options& o, const char* cellName, bool voxel) {
    ThinStageOptions t;
    t.cell = o.number(cellName, 0);
    t.voxel = voxel;
    t.first = true;
    if (!(t.cell > 0)) throw Refusal{std::string(cellName) + " must be above 0"};
    return t;
}

std::unique_ptr<Stage> filter(const std::string& type, Options& o) {
    if (type == "filters.range") return makeRangeFilter(parseLimits(o.text("limits")));
    if (type == "filters.crop") {
        double b[6];
        if (parseBounds(o.text("bounds"), b) != 2) throw Refusal{"filters.crop takes 2D bounds"};
        const double box[4] = {b[0], b[1], b[3], b[4]};
        return makeCropFilter(box);
    }
    if (type == "filters.reprojection") {
        const Crs from = crsOption(o, "in_srs"), to = crsOption(o, "out_srs");
        if (to.empty()) throw Refusal{"filters.reprojection needs out_srs"};
        return makeReprojection(from, to, 0);
    }
    if (type == "filters.sample") return makeThinFilter(thinning(o, "radius", true));
    if (type == "filters.voxeldownsize") {
        ThinStageOptions t = thinning(o, "cell", true);
        const std::string mode = o.text("mode", "center");
        if (mode != "center" && mode != "first")
            throw Refusal{"filters.voxeldownsize mode is center or first, not '" + mode + "'"};
        t.center = mode == "center";
        return makeThinFilter(t);
    }
    if (type == "filters.merge") return makeMergeFilter();
    if (type == "filters.decimation") {
        const double step = o.number("step", 1), offset = o.number("offset", 0);
        if (!(step >= 1) || step != std::floor(step) || !(offset >= 0) ||
            offset != std::floor(offset))
            throw Refusal{"filters.decimation step must be a whole number from 1, offset from 0"};
        return makeStepFilter(static_cast<uint64_t>(step), static_cast<uint64_t>(offset));
    }
    if (type == "filters.returns") return makeReturnsFilter(parseGroups(o.text("groups")));
    return nullptr;
}

std::unique_ptr<Stage> reader(const std::string& type, Options& o, const std::string& path) {
    LasReadOptions r;
    r.path = path;
    if (type == "readers.copc") {
        r.copc = true;
        if (o.has("bounds")) r.boundsAxes = parseBounds(o.text("bounds"), r.bounds);
        r.resolution = o.number("resolution", 0);
        if (r.resolution < 0) throw Refusal{"resolution must be 0 or above"};
    } else if (type != "readers.las") {
        return nullptr;
    }
    return makeLasReader(r);
}

// The stage one element of the list describes; `writes` says whether a bare name writes.
std::unique_ptr<Stage> buildStage(const Json& element, bool writes) {
    Json stage = element;
    if (element.is_string()) {
        const std::string path = element.get<std::string>();
        stage = Json::object();
        stage["filename"] = path;
        const std::string kind = writerForName(path);
        if (writes) {
            if (kind.empty())
                throw Refusal{"'" + path + "': no writer for that name (" + writerExtensions() +
                              ")"};
            stage["type"] = kind == "laz" ? "writers.las" : "writers." + kind;
        } else {
            stage["type"] = kind == "copc" ? "readers.copc" : "readers.las";
        }
    }
    if (!stage.is_object() || !stage.contains("type") || !stage["type"].is_string())
        throw Refusal{"a stage is a file name or an object with a \"type\""};
    const std::string type = stage["type"].get<std::string>();
    Options o(stage, type);
    const bool io = type.rfind("readers.", 0) == 0 || type.rfind("writers.", 0) == 0;
    const std::string path = io ? o.text("filename") : "";
    if (io && path.empty()) throw Refusal{type + " needs a filename"};
    if (stage.contains("inputs") && type != "filters.merge")
        throw Refusal{type + ": inputs are taken by filters.merge only; stages follow each other"};
    o.text("inputs");
    std::unique_ptr<Stage> built;
    if (type.rfind("readers.", 0) == 0)
        built = reader(type, o, path);
    else if (type.rfind("writers.", 0) == 0)
        built = writer(type, o, path);
    else
        built = filter(type, o);
    if (!built) throw Refusal{"no stage " + type + " here"};
    o.done();
    return built;
}

}  // namespace

bool parsePipeline(const std::string& text, Pipeline& out, PipelineError& error) {
    error = PipelineError();
    Json doc;
    try {
        doc = Json::parse(text);
    } catch (const Json::parse_error& e) {
        error.kind = PipelineError::kRefused;
        error.text = std::string("not JSON: ") + e.what();
        return false;
    }
    if (doc.is_object() && doc.contains("pipeline")) doc = doc["pipeline"];
    if (!doc.is_array() || doc.empty()) {
        error.kind = PipelineError::kRefused;
        error.text = "a pipeline is a list of stages, or an object holding one as \"pipeline\"";
        return false;
    }
    for (size_t i = 0; i < doc.size(); ++i) {
        try {
            out.add(buildStage(doc[i], i > 0 && i + 1 == doc.size()));
        } catch (const Refusal& r) {
            error.kind = PipelineError::kRefused;
            error.stage = static_cast<int>(i);
            error.text = r.text;
            return false;
        }
    }
    return true;
}

}  // namespace orv
