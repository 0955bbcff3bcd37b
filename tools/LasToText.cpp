// orvter las to-text: chosen fields of every point as delimited text, one line a point.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "OrvLasFile.h"

namespace orvter {
namespace {

struct TextOptions {
    std::string in, out;
    std::vector<std::string> fields{"x", "y", "z"};
    std::string separator = ",";
    bool header = false;
};

// The decoded columns of one block; a field fills its column and prints its value of point i.
struct Columns {
    std::vector<double> x, y, z, gps;
    std::vector<int32_t> X, Y, Z;
    std::vector<uint16_t> intensity, source, red, green, blue, nir;
    std::vector<uint8_t> ret, num, cls, user, dir, edge, flags, channel;
    std::vector<float> angle;
    int decimals[3] = {3, 3, 3};
};

struct Field {
    const char* name;
    std::function<void(Columns&, orv::LasColumns&, size_t)> bind;
    std::function<void(const Columns&, size_t, std::string&)> print;
};

template <class T>
T* sized(std::vector<T>& v, size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

void appendNumber(std::string& out, unsigned long long v) {
    out += std::to_string(v);
}

#define ORV_INT_FIELD(NAME, MEMBER, COLUMN)                                                    \
    Field {                                                                                    \
        NAME, [](Columns& k, orv::LasColumns& c, size_t n) { c.COLUMN = sized(k.MEMBER, n); }, \
            [](const Columns& k, size_t i, std::string& out) {                                 \
                out += std::to_string(k.MEMBER[i]);                                            \
            }                                                                                  \
    }

#define ORV_FLAG_FIELD(NAME, BIT)                              \
    Field {                                                    \
        NAME,                                                  \
            [](Columns& k, orv::LasColumns& c, size_t n) {     \
                c.classificationFlags = sized(k.flags, n);     \
            },                                                 \
            [](const Columns& k, size_t i, std::string& out) { \
                appendNumber(out, (k.flags[i] >> BIT) & 1u);   \
            }                                                  \
    }

std::string fixed(double value, int decimals) {
    return formatFixed(value, decimals);
}

// Names as the Python package and laspy call them.
const std::vector<Field>& knownFields() {
    static const std::vector<Field> fields = {
        {"x", [](Columns& k, orv::LasColumns& c, size_t n) { c.x = sized(k.x, n); },
         [](const Columns& k, size_t i, std::string& out) { out += fixed(k.x[i], k.decimals[0]); }},
        {"y", [](Columns& k, orv::LasColumns& c, size_t n) { c.y = sized(k.y, n); },
         [](const Columns& k, size_t i, std::string& out) { out += fixed(k.y[i], k.decimals[1]); }},
        {"z", [](Columns& k, orv::LasColumns& c, size_t n) { c.z = sized(k.z, n); },
         [](const Columns& k, size_t i, std::string& out) { out += fixed(k.z[i], k.decimals[2]); }},
        ORV_INT_FIELD("X", X, X),
        ORV_INT_FIELD("Y", Y, Y),
        ORV_INT_FIELD("Z", Z, Z),
        ORV_INT_FIELD("intensity", intensity, intensity),
        ORV_INT_FIELD("return_number", ret, returnNumber),
        ORV_INT_FIELD("number_of_returns", num, numberOfReturns),
        ORV_INT_FIELD("classification", cls, classification),
        ORV_INT_FIELD("user_data", user, userData),
        ORV_INT_FIELD("point_source_id", source, pointSourceId),
        ORV_INT_FIELD("scan_direction", dir, scanDirection),
        ORV_INT_FIELD("edge_of_flight_line", edge, edgeOfFlightLine),
        ORV_INT_FIELD("scanner_channel", channel, scannerChannel),
        ORV_INT_FIELD("red", red, red),
        ORV_INT_FIELD("green", green, green),
        ORV_INT_FIELD("blue", blue, blue),
        ORV_INT_FIELD("nir", nir, nir),
        ORV_FLAG_FIELD("synthetic", 0),
        ORV_FLAG_FIELD("key_point", 1),
        ORV_FLAG_FIELD("withheld", 2),
        ORV_FLAG_FIELD("overlap", 3),
        {"scan_angle",
         [](Columns& k, orv::LasColumns& c, size_t n) { c.scanAngleDegrees = sized(k.angle, n); },
         [](const Columns& k, size_t i, std::string& out) { out += formatNumber(k.angle[i]); }},
        {"gps_time", [](Columns& k, orv::LasColumns& c, size_t n) { c.gpsTime = sized(k.gps, n); },
         [](const Columns& k, size_t i, std::string& out) { out += fixed(k.gps[i], 6); }},
    };
    return fields;
}

std::vector<const Field*> chosen(const std::vector<std::string>& names) {
    std::vector<const Field*> out;
    for (const std::string& name : names) {
        const Field* found = nullptr;
        for (const Field& f : knownFields())
            if (name == f.name) found = &f;
        if (!found) {
            std::string all;
            for (const Field& f : knownFields())
                all += std::string(all.empty() ? "" : ",") + f.name;
            throw CLI::ValidationError("--fields",
                                       "unknown field '" + name + "' (known: " + all + ")");
        }
        out.push_back(found);
    }
    return out;
}

void run(const TextOptions& o) {
    const std::vector<const Field*> fields = chosen(o.fields);
    const InputPath in(o.in);
    orv::LasReader reader;
    if (reader.open(in.path().c_str()) != 0)
        throw CommandError("cannot read '" + in.name() + "': " + reader.error());
    const orv::LasFileHeader& h = reader.header();
    Columns k;
    for (int axis = 0; axis < 3; ++axis) {
        const int d = decimalsOf(h.scale[axis]);
        k.decimals[axis] = d < 0 ? -1 : d;
    }
    const bool toStdout = o.out == "-";
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        toStdout ? stdout : std::fopen(o.out.c_str(), "w"),
        toStdout ? [](std::FILE*) { return 0; } : &std::fclose);
    if (!file) throw CommandError("cannot create '" + o.out + "': " + std::strerror(errno));

    constexpr size_t kBlock = 65536;
    orv::LasColumns c;
    for (const Field* f : fields) f->bind(k, c, kBlock);
    std::string text;
    if (o.header) {
        for (size_t j = 0; j < fields.size(); ++j)
            text += (j ? o.separator : std::string()) + fields[j]->name;
        text += '\n';
    }
    uint64_t written = 0;
    bool ok = true;
    while (size_t n = reader.read(c, kBlock)) {
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < fields.size(); ++j) {
                if (j) text += o.separator;
                fields[j]->print(k, i, text);
            }
            text += '\n';
        }
        ok = ok && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
        text.clear();
        written += n;
    }
    ok = ok && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    if (!reader.error().empty()) throw CommandError("'" + in.name() + "': " + reader.error());
    if (!ok || std::fflush(file.get()) != 0)
        throw CommandError("cannot write '" + o.out + "': " + std::strerror(errno));
    std::fprintf(toStdout ? stderr : stdout, "wrote %" PRIu64 " points as text\n", written);
}

}  // namespace

void addLasToText(CLI::App& las) {
    auto options = std::make_shared<TextOptions>();
    CLI::App* cmd = las.add_subcommand(
        "to-text", "Write chosen fields of every point as delimited text, one line a point");
    cmd->add_option("IN", options->in, "LAS or LAZ file to read (- reads standard input)")
        ->required();
    cmd->add_option("OUT", options->out, "Text file to write (- writes standard output)")
        ->required();
    valueList(cmd->add_option("--fields", options->fields,
                              "Fields in order (x,y,z,X,Y,Z,intensity,return_number,"
                              "number_of_returns,classification,scan_angle,gps_time,red,green,"
                              "blue,nir,...)"))
        ->capture_default_str();
    cmd->add_option("--separator", options->separator, "Between fields")->capture_default_str();
    cmd->add_flag("--header", options->header, "Start with a line of the field names");
    addThreadsOption(cmd);
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
