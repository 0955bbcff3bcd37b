// orvter las merge: LAS files into one, through the copy's record pump. Inputs of different point
// formats meet in the smallest format that holds every input's fields.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "LasCopyCore.h"
#include "OrvLas.h"
#include "OrvLasPoints.h"

namespace orvter {
namespace {

struct MergeOptions {
    std::string out;
    std::vector<std::string> in;
    bool json = false;
    bool quiet = false;
    bool laz = false;
    std::string setVersion;
    int format = -1;
    CrsOptions crs;
};

bool sameFields(const std::vector<orv::LasExtraField>& a,
                const std::vector<orv::LasExtraField>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].dataType != b[i].dataType || a[i].size != b[i].size ||
            a[i].offset != b[i].offset)
            return false;
    return true;
}

bool describesExtraBytes(const orv::LasVlr& v) {
    return v.userId == "LASF_Spec" && v.recordId == 4;
}

std::string formatList(const std::set<uint8_t>& formats) {
    std::string text;
    for (uint8_t f : formats) text += (text.empty() ? "" : ", ") + std::to_string(f);
    return text;
}

// The header of the merge: the first input's, in the format and version asked for or the
// smallest that holds every input's fields, with the extra bytes that every input that has any
// shares (the others' records get zeros there).
orv::LasFileHeader mergedHeader(const MergeOptions& m, const std::vector<orv::LasFileHeader>& in,
                                const std::vector<std::string>& names) {
    std::set<uint8_t> formats;
    uint32_t needed = 0;            // the field groups of every input
    size_t withExtras = in.size();  // the first input that has extra bytes
    for (size_t i = 0; i < in.size(); ++i) {
        formats.insert(in[i].pointFormat);
        needed |= orv::lasPointFormatGroups(in[i].pointFormat);
        if (orv::lasExtraByteCount(in[i]) == 0) continue;
        if (withExtras == in.size()) {
            withExtras = i;
        } else if (orv::lasExtraByteCount(in[i]) != orv::lasExtraByteCount(in[withExtras]) ||
                   !sameFields(orv::lasExtraFields(in[i]), orv::lasExtraFields(in[withExtras]))) {
            throw CommandError("'" + names[i] + "' has other extra bytes than '" +
                               names[withExtras] + "': their records cannot share a layout");
        }
    }
    CopyOptions o;
    o.in = names.front();
    o.setVersion = m.setVersion;
    const int format = m.format >= 0 ? m.format : orv::lasPointFormatFor(needed);
    if (o.setVersion == "1.2" && format >= 6)
        throw CommandError("point format " + std::to_string(format) +
                               " of the merge needs LAS 1.4, not --set-version 1.2",
                           kExitUsage);
    // The first input's format as it is: its header is kept whole.
    o.format = format != in.front().pointFormat ? format : -1;
    if (m.format < 0 && formats.size() > 1)
        std::fprintf(stderr,
                     "orvter: merging point formats %s into format %d, the smallest that holds "
                     "every input's fields\n",
                     formatList(formats).c_str(), format);
    orv::LasWriteOptions w;
    w.format = o.format;
    if (!o.setVersion.empty()) w.minorVersion = o.setVersion == "1.2" ? 2 : 4;
    orv::LasFileHeader target;
    std::string error;
    if (!orv::lasTargetHeader(in.front(), w, o.in, target, error))
        throw CommandError(error, kExitUsage);
    if (withExtras != 0 && withExtras < in.size()) {
        // The first input has none: the description comes from the first that has them.
        for (const auto* list : {&in[withExtras].vlrs, &in[withExtras].evlrs})
            for (const orv::LasVlr& v : *list)
                if (describesExtraBytes(v)) target.vlrs.push_back(v);
        target.recordLength =
            static_cast<uint16_t>(orv::lasStandardRecordLength(target.pointFormat) +
                                  orv::lasExtraByteCount(in[withExtras]));
    }
    return target;
}

void runMerge(const MergeOptions& m) {
    const auto start = std::chrono::steady_clock::now();
    // Every input is checked before the output is begun.
    std::vector<std::unique_ptr<InputPath>> ins;
    std::vector<orv::LasFileHeader> headers;
    std::vector<std::string> names;
    uint64_t total = 0;
    for (const std::string& arg : m.in) {
        ins.push_back(std::make_unique<InputPath>(arg));
        orv::LasReader reader;
        openReader(reader, *ins.back());
        headers.push_back(reader.header());
        names.push_back(ins.back()->name());
        total += reader.pointCount();
    }
    orv::LasFileHeader target = mergedHeader(m, headers, names);
    std::vector<CrsInput> crs;
    for (size_t i = 0; i < ins.size(); ++i)
        crs.push_back({names[i], headers[i], orv::Crs(), nullptr});
    prepareCrs(crs, target, m.crs, false, false);
    OutputPath out(m.out);
    for (const auto& in : ins) out.refuseInput(in->identity(), in->name());
    PointProgress progress(m.quiet, "merging into " + out.name(), total);
    orv::LasWriter writer;
    writer.setCompressed(m.laz);
    if (writer.open(out.path().c_str(), target) != 0)
        throw CommandError("cannot write '" + out.name() + "': " + writer.error());
    CopyOptions none;
    uint64_t read = 0;
    for (size_t i = 0; i < ins.size(); ++i) {
        orv::LasReader reader;
        openReader(reader, *ins[i]);
        const uint64_t before = read;
        pump(reader, target, writer, none, names[i], progress, read, crs[i].transform.get());
        reportReadDamage(reader, *ins[i], read - before, false);
    }
    writer.close();
    out.finish();
    progress.end();
    CopyOptions o;
    o.out = m.out, o.json = m.json;
    report(o, names.front(), out.name(), read, writer.pointCount(), since(start), "merged");
}

}  // namespace

void addLasMerge(CLI::App& las) {
    auto merge = std::make_shared<MergeOptions>();
    CLI::App* mcmd = las.add_subcommand(
        "merge",
        "Merge LAS files into one: the header, VLRs, scale and offset of the first; the others' "
        "points re-quantised to them. Inputs of different point formats are written in the "
        "smallest format that holds every input's fields (extra bytes included)");
    addLasOutput(*mcmd, merge->out, merge->laz);
    mcmd->add_option("IN", merge->in, "LAS files to read (- reads standard input)")->required();
    mcmd->add_option("--set-version", merge->setVersion, "Write LAS 1.2 or 1.4")
        ->check(CLI::IsMember({"1.2", "1.4"}));
    mcmd->add_option("--format", merge->format,
                     "Write point format N (fields it lacks are dropped, new ones are zero)")
        ->check(CLI::Range(0, int{orv::kLasLastPointFormat}));
    mcmd->add_flag("--json", merge->json, "Print the summary as one JSON object");
    mcmd->add_flag("--quiet", merge->quiet, "Show no progress line");
    addCrsOptions(mcmd, merge->crs, false);
    mcmd->callback([merge] { runMerge(*merge); });
}

}  // namespace orvter
