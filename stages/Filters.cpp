// Filters that keep or drop points by their fields, and the CRS stages.
#include <algorithm>
#include <cmath>

#include <filesystem>
#include <memory>

#include "OrvLasCrs.h"
#include "OrvStages.h"
#include "OrvTerrain.h"

namespace orv {
namespace {

// A filter that decides for each point of a block whether it stays.
class MaskFilter : public Stage {
public:
    bool run(Block& block, std::string&) override {
        m_keep.assign(block.size(), 1);
        select(block, m_keep);
        block.keep(m_keep);
        return true;
    }

protected:
    virtual void select(Block& block, std::vector<uint8_t>& keep) = 0;

private:
    std::vector<uint8_t> m_keep;
};

bool within(const DimRange& r, double v) {
    const bool in = (r.minOpen ? v > r.min : v >= r.min) && (r.maxOpen ? v < r.max : v <= r.max);
    return in != r.negate;
}

// Ranges of one dimension pass a point when any one does; dimensions must all pass.
class RangeFilter : public MaskFilter {
public:
    explicit RangeFilter(std::vector<DimRange> ranges) : m_ranges(std::move(ranges)) {
        std::stable_sort(
            m_ranges.begin(), m_ranges.end(),
            [](const DimRange& a, const DimRange& b) { return a.dim->id < b.dim->id; });
    }
    std::string type() const override { return "filters.range"; }
    bool prepare(Schema& s, std::string& error) override {
        for (const DimRange& r : m_ranges)
            if (!formatHolds(*r.dim, s.header.pointFormat)) {
                error = "point format " + std::to_string(s.header.pointFormat) + " has no " +
                        r.dim->pdalName;
                return false;
            }
        return true;
    }

protected:
    void select(Block& block, std::vector<uint8_t>& keep) override {
        for (size_t first = 0; first < m_ranges.size();) {
            size_t end = first;
            while (end < m_ranges.size() && m_ranges[end].dim == m_ranges[first].dim) ++end;
            block.forEachValue(*m_ranges[first].dim, [&](size_t i, double v) {
                bool any = false;
                for (size_t k = first; k < end && !any; ++k) any = within(m_ranges[k], v);
                keep[i] = keep[i] && any;
            });
            first = end;
        }
    }

private:
    std::vector<DimRange> m_ranges;
};

class CropFilter : public MaskFilter {
public:
    explicit CropFilter(const double box[4]) { std::copy(box, box + 4, m_box); }
    std::string type() const override { return "filters.crop"; }
    bool prepare(Schema&, std::string&) override { return true; }

protected:
    void select(Block& block, std::vector<uint8_t>& keep) override {
        const double* x = block.x();
        const double* y = block.y();
        for (size_t i = 0; i < block.size(); ++i)
            keep[i] = x[i] >= m_box[0] && y[i] >= m_box[1] && x[i] <= m_box[2] && y[i] <= m_box[3];
    }

private:
    double m_box[4];
};

// Keeps the points inside (or outside) the polygons of a vector layer, read in prepare so that
// they are moved into the points' own CRS.
class ClipFilter : public MaskFilter {
public:
    ClipFilter(std::string source, bool outside) : m_source(std::move(source)), m_outside(outside) {}
    std::string type() const override { return "filters.clip"; }
    bool prepare(Schema& s, std::string& error) override {
        // FILE:LAYER, unless the whole argument names a file (a path may hold a colon).
        std::string file = m_source, layer;
        const size_t colon = m_source.rfind(':');
        std::error_code ec;
        if (colon != std::string::npos && colon > 0 && !std::filesystem::exists(m_source, ec))
            file = m_source.substr(0, colon), layer = m_source.substr(colon + 1);
        m_polygons = std::make_unique<PolygonClip>();
        if (m_polygons->open(file, layer, s.crs.empty() ? std::string() : s.crs.wkt1()) != 0) {
            error = "cannot clip: " + m_polygons->error();
            return false;
        }
        return true;
    }

protected:
    void select(Block& block, std::vector<uint8_t>& keep) override {
        m_inside.resize(block.size());
        m_polygons->inside(block.x(), block.y(), block.size(), m_inside.data());
        for (size_t i = 0; i < block.size(); ++i) keep[i] = (m_inside[i] != 0) != m_outside;
    }

private:
    std::string m_source;
    bool m_outside;
    std::unique_ptr<PolygonClip> m_polygons;
    std::vector<uint8_t> m_inside;
};

class StepFilter : public MaskFilter {
public:
    StepFilter(uint64_t step, uint64_t offset)
        : m_step(std::max<uint64_t>(1, step)), m_offset(offset) {}
    std::string type() const override { return "filters.decimation"; }
    bool prepare(Schema&, std::string&) override { return true; }

protected:
    void select(Block& block, std::vector<uint8_t>& keep) override {
        for (size_t i = 0; i < block.size(); ++i) {
            const uint64_t at = block.index(i);
            keep[i] = at >= m_offset && (at - m_offset) % m_step == 0;
        }
    }

private:
    uint64_t m_step, m_offset;
};

class ReturnsFilter : public MaskFilter {
public:
    explicit ReturnsFilter(uint8_t groups) : m_groups(groups) {}
    std::string type() const override { return "filters.returns"; }
    bool prepare(Schema&, std::string&) override { return true; }

protected:
    void select(Block& block, std::vector<uint8_t>& keep) override {
        const auto* ret = static_cast<const uint8_t*>(block.column(DimId::kReturnNumber));
        const auto* num = static_cast<const uint8_t*>(block.column(DimId::kNumberOfReturns));
        for (size_t i = 0; i < block.size(); ++i) {
            const unsigned r = ret[i], n = num[i];
            const uint8_t is = (r == 1 && n > 1 ? kReturnFirst : 0) |
                               (r > 1 && r < n && n > 2 ? kReturnIntermediate : 0) |
                               (r == n && n > 1 ? kReturnLast : 0) | (n == 1 ? kReturnOnly : 0) |
                               (r == n ? kReturnLastAny : 0);
            keep[i] = (is & m_groups) != 0;
        }
    }

private:
    uint8_t m_groups;
};

class DropFilter : public MaskFilter {
public:
    DropFilter(uint8_t bits, std::vector<uint8_t> classes)
        : m_bits(bits), m_classes(std::move(classes)) {}
    std::string type() const override { return "filters.drop"; }
    bool prepare(Schema&, std::string&) override { return true; }

protected:
    void select(Block& block, std::vector<uint8_t>& keep) override {
        const uint8_t* flags =
            m_bits ? static_cast<const uint8_t*>(block.column(DimId::kWithheld)) : nullptr;
        const uint8_t* cls =
            m_classes.empty() ? nullptr
                              : static_cast<const uint8_t*>(block.column(DimId::kClassification));
        for (size_t i = 0; i < block.size(); ++i) {
            bool ok = !(flags && (flags[i] & m_bits));
            if (cls)
                for (uint8_t c : m_classes) ok = ok && cls[i] != c;
            keep[i] = ok;
        }
    }

private:
    uint8_t m_bits;
    std::vector<uint8_t> m_classes;
};

class MergeFilter : public Stage {
public:
    std::string type() const override { return "filters.merge"; }
    bool prepare(Schema&, std::string&) override { return true; }
    bool run(Block&, std::string&) override { return true; }
};

class AssignCrs : public Stage {
public:
    explicit AssignCrs(const Crs& crs) : m_crs(crs) {}
    std::string type() const override { return "filters.assign"; }
    bool prepare(Schema& s, std::string&) override {
        s.crs = m_crs;
        s.crsMoved = true;
        return true;
    }
    bool run(Block&, std::string&) override { return true; }

private:
    Crs m_crs;
};

class Reprojection : public Stage {
public:
    Reprojection(const Crs& from, const Crs& to, unsigned threads, bool network)
        : m_from(from), m_to(to), m_threads(threads), m_network(network) {}
    std::string type() const override { return "filters.reprojection"; }
    bool prepare(Schema& s, std::string& error) override {
        std::vector<CrsSource> one(1);
        one[0].name = s.source;
        one[0].header = &s.header;
        one[0].crs = m_from.empty() ? s.crs : m_from;
        one[0].note = s.crsNote;
        // Z never stays in a unit or datum the output's CRS does not state.
        const Crs target = crsKeepingHeights(one[0].crs, m_to);
        if (!target.empty() && !target.equivalentTo(m_to)) {
            const Crs& heights = one[0].crs.vertical().empty() ? one[0].crs : one[0].crs.vertical();
            m_warnings.push_back("--to-crs names no heights: Z keeps those of '" + s.source + "' (" +
                                 describeCrs(heights) + "), and the output's CRS is " +
                                 describeCrs(target));
        }
        const Crs& to = target.empty() ? m_to : target;
        if (!planReprojection(one, to, m_threads, s.header, false, false, error, m_network))
            return false;
        m_move = std::move(one[0].transform);
        s.crs = to;
        s.crsMoved = true;
        return true;
    }
    bool run(Block& block, std::string& error) override {
        double *x, *y, *z;
        block.moveCoordinates(x, y, z);
        const size_t moved = m_move->transform(x, y, z, block.size());
        if (moved < block.size()) {
            error = "point " + std::to_string(block.index(moved)) + " of '" + block.source() +
                    "' cannot be transformed to the target CRS";
            return false;
        }
        return true;
    }

private:
    Crs m_from, m_to;
    unsigned m_threads;
    bool m_network;
    std::unique_ptr<CrsTransform> m_move;
};

}  // namespace

std::unique_ptr<Stage> makeRangeFilter(std::vector<DimRange> ranges) {
    return std::make_unique<RangeFilter>(std::move(ranges));
}
std::unique_ptr<Stage> makeCropFilter(const double box[4]) {
    return std::make_unique<CropFilter>(box);
}
std::unique_ptr<Stage> makeClipFilter(const std::string& source, bool outside) {
    return std::make_unique<ClipFilter>(source, outside);
}
std::unique_ptr<Stage> makeStepFilter(uint64_t step, uint64_t offset) {
    return std::make_unique<StepFilter>(step, offset);
}
std::unique_ptr<Stage> makeReturnsFilter(uint8_t groups) {
    return std::make_unique<ReturnsFilter>(groups);
}
std::unique_ptr<Stage> makeDropFilter(uint8_t flagBits, std::vector<uint8_t> classes) {
    return std::make_unique<DropFilter>(flagBits, std::move(classes));
}
std::unique_ptr<Stage> makeMergeFilter() {
    return std::make_unique<MergeFilter>();
}
std::unique_ptr<Stage> makeAssignCrs(const Crs& crs) {
    return std::make_unique<AssignCrs>(crs);
}
std::unique_ptr<Stage> makeReprojection(const Crs& from, const Crs& to, unsigned threads,
                                        bool network) {
    return std::make_unique<Reprojection>(from, to, threads, network);
}

std::string describeCrs(const Crs& c) {
    if (c.empty()) return "no CRS";
    return c.name() + (c.epsg() ? " (EPSG:" + std::to_string(c.epsg()) + ")" : "");
}

bool planReprojection(std::vector<CrsSource>& sources, const Crs& to, unsigned threads,
                      LasFileHeader& target, bool scaleGiven, bool offsetGiven,
                      std::string& error, bool network) {
    std::string unreadable;
    for (const CrsSource& in : sources)
        if (in.crs.empty() && !in.note.empty() && unreadable.empty())
            unreadable = "'" + in.name + "': " + in.note;
    for (CrsSource& in : sources) {
        if (in.crs.empty()) {
            error = "'" + in.name + "' has no CRS" +
                    (unreadable.empty() ? "" : " it can be read by (" + unreadable + ")") +
                    "; say which it is with --crs";
            return false;
        }
        in.transform = std::make_unique<CrsTransform>();
        in.transform->setNetwork(network);
        if (in.transform->open(in.crs, to, threadCount(threads, 8)) != 0) {
            error = "cannot reproject '" + in.name + "': " + in.transform->error();
            return false;
        }
    }
    // Scale and offset: the first input's precision carried over in the target's units, within
    // the transformed bounds of every input.
    BoundsTally all;
    for (CrsSource& in : sources) {
        double a[3], b[3];
        if (!in.transform->transformBox(in.header->min, in.header->max, a, b)) continue;
        all.add(a[0], a[1], a[2]);
        all.add(b[0], b[1], b[2]);
    }
    if (all.empty && !offsetGiven) {
        error = "the bounds of '" + sources.front().name + "' cannot be transformed to " +
                describeCrs(to) + "; give --scale and --offset";
        return false;
    }
    if (all.empty) return true;
    double scale[3], offset[3];
    lasReprojectedQuantisation(sources.front().header->scale, sources.front().crs, to, all.min,
                               all.max, scale, offset);
    for (int k = 0; k < 3; ++k) {
        if (!scaleGiven) target.scale[k] = scale[k];
        if (!offsetGiven) target.offset[k] = offset[k];
    }
    return true;
}

bool writeCrsRecords(LasFileHeader& target, const Crs& crs, const std::string& unreadable,
                     bool rewrite, uint8_t sourceMinor, uint8_t sourceFormat, bool force,
                     std::string& warning, std::string& error) {
    // A copy that keeps version and format keeps every VLR as it was. Another version or format
    // writes the records its readers look for: WKT from 1.4 on.
    rewrite = rewrite || target.versionMinor != sourceMinor || target.pointFormat != sourceFormat;
    if (!rewrite || (crs.empty() && unreadable.empty())) return true;
    std::string why;
    if (crs.empty()) {
        // Records no one here can read stay as they are where the target's readers look for
        // them, global encoding bit 4 naming the form kept.
        for (const uint16_t wktBit : {0, 16}) {
            LasFileHeader kept = target;
            kept.globalEncoding = static_cast<uint16_t>((kept.globalEncoding & ~16) | wktBit);
            if (!lasCrsFormFits(kept)) continue;
            target.globalEncoding = kept.globalEncoding;
            warning = unreadable + "; the output keeps its CRS records as they are";
            return true;
        }
        why = "its CRS records cannot be read (" + unreadable + ")";
    } else if (lasSetCrs(target, crs, &why) == 0) {
        return true;
    }
    const std::string version = "LAS 1." + std::to_string(target.versionMinor);
    if (!force) {
        error = "the output cannot carry the CRS as " + version + " needs: " + why +
                " (--force writes it without one)";
        return false;
    }
    warning = "the output has no CRS: " + why;
    lasSetCrs(target, Crs());
    return true;
}

}  // namespace orv
