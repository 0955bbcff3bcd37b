// What orvter las info adds from the full header model: identity, VLRs and EVLRs, the coordinate
// reference system, and with --stats a scan of every point.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "Command.h"
#include "LasStats.h"
#include "OrvCopc.h"
#include "OrvLasCrs.h"
#include "OrvLasFile.h"
#include "OrvLasSurvey.h"

namespace orvter {
namespace {

// A coordinate at the precision of its scale.
std::string fixed(double value, int decimals) {
    return formatFixed(value, decimals);
}

std::string guidText(const uint8_t g[16]) {
    // Stored as a little-endian 32-bit, two 16-bit fields, then eight bytes.
    char b[40];
    std::snprintf(b, sizeof b,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                  g[14], g[15]);
    return b;
}

// A text made safe to print: control characters become '?'.
std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

nlohmann::ordered_json vlrList(const std::vector<orv::LasVlr>& list) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const orv::LasVlr& v : list)
        out.push_back({{"user_id", printable(v.userId)},
                       {"record_id", v.recordId},
                       {"length", v.payload.size()},
                       {"description", printable(v.description)}});
    return out;
}

// The summary of every dimension, keyed by name.
nlohmann::ordered_json dimensionsJson(const PointStats& s) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    // The numbers the text gives: no digits beyond what the values hold.
    for (const DimensionStats& d : s.dimensions)
        out[d.name] = {{"count", d.count},
                       {"min", readBack(d.text(d.min))},
                       {"max", readBack(d.text(d.max))},
                       {"mean", readBack(d.text(d.mean, true))},
                       {"stddev", readBack(d.text(d.stddev(), true))}};
    return out;
}

}  // namespace

void printFullLasInfo(orv::LasSurvey& file, const std::string& path, const InfoOptions& options,
                      nlohmann::ordered_json* j) {
    const bool json = options.json, stats = options.stats;
    const orv::LasFileHeader& h = file.header();
    orv::LasReader* reader = file.reader();  // null where the records are refused
    const int dec[3] = {decimalsOf(h.scale[0]), decimalsOf(h.scale[1]), decimalsOf(h.scale[2])};
    const std::string wkt = orv::lasWkt(h);
    std::string crsNote;
    const orv::Crs crs = orv::lasCrs(h, &crsNote);
    // The code of the whole CRS; for a compound one without a code, its horizontal part's.
    const int crsEpsg = crs.epsg() ? crs.epsg() : crs.horizontal().epsg();
    const uint32_t epsg = crsEpsg ? static_cast<uint32_t>(crsEpsg) : orv::lasEpsgCode(h);
    const int verticalEpsg = crs.vertical().epsg();
    PointStats s;
    const bool scanned = stats && reader;
    if (scanned) s = scanPoints(*reader);
    // Only a file whose first VLR is the COPC info can be one: others are not opened again.
    const bool copc = orv::copcInfoVlrFirst(h);
    // A cut EVLR list; the VLR list's troubles are among the header's warnings already.
    std::vector<std::string> vlrWarnings;
    if (h.warnings & orv::kLasEvlrsCut)
        for (const std::string& note : h.notes)
            if (note.rfind("EVLR", 0) == 0) vlrWarnings.push_back(note);

    if (json) {
        nlohmann::ordered_json& o = *j;
        o["system_identifier"] = printable(h.systemIdentifier);
        o["generating_software"] = printable(h.generatingSoftware);
        o["creation_day"] = h.creationDay;
        o["creation_year"] = h.creationYear;
        o["file_source_id"] = h.fileSourceId;
        o["global_encoding"] = h.globalEncoding;
        o["guid"] = guidText(h.guid);
        o["compressed"] = h.compressed;
        for (const std::string& w : vlrWarnings) o["warnings"].push_back(w);
        o["vlrs"] = vlrList(h.vlrs);
        o["evlrs"] = vlrList(h.evlrs);
        nlohmann::ordered_json cj;
        if (!crs.empty()) cj["name"] = crs.name();
        if (!wkt.empty() || !crs.empty()) cj["wkt"] = wkt.empty() ? crs.wkt1() : wkt;
        if (epsg != 0) cj["epsg"] = epsg;
        if (verticalEpsg != 0) cj["vertical_epsg"] = verticalEpsg;
        if (!crs.empty()) {
            // PROJ's text of a damaged WKT may not parse: give it as text rather than lose it.
            auto projJson = nlohmann::ordered_json::parse(crs.projJson(), nullptr, false);
            if (projJson.is_discarded()) projJson = crs.projJson();
            cj["projjson"] = projJson;
        }
        if (!crsNote.empty()) cj["note"] = crsNote;
        o["crs"] = cj.empty() ? nlohmann::ordered_json() : cj;
        if (stats) {
            nlohmann::ordered_json st;
            if (scanned) {
                st["points"] = s.points;
                // Rounded to the file's precision: digits beyond it are noise of the scaling.
                auto at = [&](const double* v) {
                    nlohmann::ordered_json a = nlohmann::ordered_json::array();
                    for (int axis = 0; axis < 3; ++axis)
                        a.push_back(s.points ? readBack(fixed(v[axis], dec[axis])) : 0.0);
                    return a;
                };
                st["min"] = at(s.lo);
                st["max"] = at(s.hi);
                st["points_by_return"] = std::vector<uint64_t>(s.byReturn + 1, s.byReturn + 16);
                nlohmann::ordered_json classes = nlohmann::ordered_json::object();
                nlohmann::ordered_json named = nlohmann::ordered_json::array();
                for (unsigned c = 0; c < 256; ++c) {
                    if (!s.classes[c]) continue;
                    classes[std::to_string(c)] = s.classes[c];
                    named.push_back(
                        {{"class", c}, {"name", className(c)}, {"count", s.classes[c]}});
                }
                st["classification"] = classes;
                st["classes"] = named;
                if (orv::kLasPointLayouts[h.pointFormat].gpsTime >= 0 && s.points)
                    st["gps_time"] = {s.gpsLo, s.gpsHi};
                else
                    st["gps_time"] = nullptr;
                st["density"] = s.density();
                st["dimensions"] = dimensionsJson(s);
            }
            o["stats"] = st.empty() ? nlohmann::ordered_json() : st;
        }
        if (options.schema) {
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            for (const SchemaEntry& e : schemaOf(h))
                list.push_back({{"name", printable(e.name)}, {"type", e.type}, {"size", e.size}});
            o["schema"] = list;
        }
        if (copc) printCopcInfo(path, dec, true, &o);
        return;
    }

    std::printf("system identifier: %s\n", printable(h.systemIdentifier).c_str());
    std::printf("software:          %s\n", printable(h.generatingSoftware).c_str());
    std::printf("created:           day %u of %u\n", h.creationDay, h.creationYear);
    std::printf("file source ID:    %u\n", h.fileSourceId);
    std::printf("global encoding:   %u\n", h.globalEncoding);
    std::printf("GUID:              %s\n", guidText(h.guid).c_str());
    if (h.compressed) std::printf("compressed:        yes\n");
    const auto list = [](const char* what, const std::vector<orv::LasVlr>& vlrs) {
        for (const orv::LasVlr& v : vlrs)
            std::printf("%-19s%s %u, %zu bytes: %s\n", what, printable(v.userId).c_str(),
                        v.recordId, v.payload.size(), printable(v.description).c_str());
    };
    list("VLR:", h.vlrs);
    list("EVLR:", h.evlrs);
    if (!crs.empty()) std::printf("CRS:               %s\n", printable(crs.name()).c_str());
    if (epsg != 0) std::printf("EPSG:              %u\n", epsg);
    if (verticalEpsg != 0) std::printf("vertical EPSG:     %d\n", verticalEpsg);
    if (!crsNote.empty()) std::printf("CRS note:          %s\n", printable(crsNote).c_str());
    if (!wkt.empty()) std::printf("WKT:               %s\n", printable(wkt).c_str());
    if (copc) printCopcInfo(path, dec, false, nullptr);
    if (scanned) {
        std::printf("scanned points:    %" PRIu64 "\n", s.points);
        if (s.points) {
            std::printf("real min:          %s %s %s\n", fixed(s.lo[0], dec[0]).c_str(),
                        fixed(s.lo[1], dec[1]).c_str(), fixed(s.lo[2], dec[2]).c_str());
            std::printf("real max:          %s %s %s\n", fixed(s.hi[0], dec[0]).c_str(),
                        fixed(s.hi[1], dec[1]).c_str(), fixed(s.hi[2], dec[2]).c_str());
        }
        std::string returns;
        for (int k = 1; k < 16; ++k) returns += (k > 1 ? " " : "") + std::to_string(s.byReturn[k]);
        std::printf("real returns:      %s\n", returns.c_str());
        for (unsigned c = 0; c < 256; ++c)
            if (s.classes[c])
                std::printf("class %-13u%" PRIu64 " (%s)\n", c, s.classes[c], className(c));
        if (orv::kLasPointLayouts[h.pointFormat].gpsTime >= 0 && s.points)
            std::printf("GPS time:          %s %s\n", formatNumber(s.gpsLo).c_str(),
                        formatNumber(s.gpsHi).c_str());
        if (s.density() > 0)
            std::printf("density:           %s points per square unit\n",
                        formatNumber(s.density()).c_str());
        std::printf("%-22s %12s %16s %16s %16s %16s\n", "dimension", "count", "min", "max", "mean",
                    "stddev");
        for (const DimensionStats& d : s.dimensions)
            std::printf("%-22s %12" PRIu64 " %16s %16s %16s %16s\n", printable(d.name).c_str(),
                        d.count, d.text(d.min).c_str(), d.text(d.max).c_str(),
                        d.text(d.mean, true).c_str(), d.text(d.stddev(), true).c_str());
    }
    if (options.schema) {
        std::printf("%-22s %-8s %s\n", "schema", "type", "bytes");
        for (const SchemaEntry& e : schemaOf(h))
            std::printf("%-22s %-8s %u\n", printable(e.name).c_str(), e.type.c_str(), e.size);
    }
    std::fflush(stdout);
    for (const std::string& w : vlrWarnings)
        std::fprintf(stderr, "warning: '%s': %s\n", path.c_str(), w.c_str());
}

}  // namespace orvter
