// The LAS and LAZ writer: records as they come when the output keeps their layout, re-encoded
// (fields dropped or zero, coordinates re-quantised by rounding) when it does not.
#include "OrvLasPoints.h"
#include "OrvStages.h"
#include "las/LasBytes.h"
#include "las/LasRecords.h"

namespace orv {
namespace {

bool sameQuantisation(const LasFileHeader& a, const LasFileHeader& b) {
    for (int axis = 0; axis < 3; ++axis)
        if (a.scale[axis] != b.scale[axis] || a.offset[axis] != b.offset[axis]) return false;
    return true;
}

}  // namespace

bool lasTargetHeader(const LasFileHeader& in, const LasWriteOptions& o, const std::string& source,
                  LasFileHeader& h, std::string& error) {
    h = in;
    if (o.format >= 0) {
        if (o.format > kLasLastPointFormat) {
            error = "point format " + std::to_string(o.format) + " does not exist";
            return false;
        }
        h.pointFormat = static_cast<uint8_t>(o.format);
        h.recordLength =
            static_cast<uint16_t>(lasStandardRecordLength(h.pointFormat) + lasExtraByteCount(in));
        // A format only 1.4 knows takes the file there, unless a version was asked for.
        if (h.pointFormat >= 6 && o.minorVersion < 0) h.versionMinor = 4;
    }
    if (o.minorVersion >= 0) {
        if (o.minorVersion != 2 && o.minorVersion != 4) {
            error = "the version written is 1.2 or 1.4";
            return false;
        }
        if (o.minorVersion == 2 && h.pointFormat >= 6) {
            error = "point format " + std::to_string(h.pointFormat) + " needs LAS 1.4, not 1.2";
            return false;
        }
        h.versionMajor = 1;
        h.versionMinor = static_cast<uint8_t>(o.minorVersion);
    }
    if (h.versionMinor != in.versionMinor) {
        h.headerExtra.clear();  // their place belongs to the other version's fields
        if (h.versionMinor < 4) {
            // Extended VLRs become VLRs where they fit.
            for (LasVlr& v : h.evlrs) {
                if (v.payload.size() > 65535) {
                    error =
                        "an extended VLR of '" + source + "' is too long for a version 1.2 file";
                    return false;
                }
                h.vlrs.push_back(std::move(v));
            }
            h.evlrs.clear();
        }
    }
    // Another format or version: the writer fills the legacy counts as that one wants them.
    if (h.pointFormat != in.pointFormat || h.versionMinor != in.versionMinor)
        h.pointCount = h.legacyPointCount = 0;
    for (int axis = 0; axis < 3; ++axis) {
        if (o.scaleGiven[axis]) h.scale[axis] = o.scale[axis];
        if (o.offsetGiven[axis]) h.offset[axis] = o.offset[axis];
    }
    return true;
}

namespace {

std::string unfit(const Block& block, size_t i) {
    return "point " + std::to_string(block.index(i)) + " of '" + block.source() +
           "' does not fit the target's scale and offset";
}
// Moved coordinates into records that keep their layout: only X, Y and Z change.
bool quantiseInPlace(const LasFileHeader& target, Block& block, std::string& error) {
    const double* p[3] = {block.x(), block.y(), block.z()};
    constexpr int kAt[3] = {kLasXOffset, kLasYOffset, kLasZOffset};
    const size_t length = target.recordLength;
    uint8_t* records = block.records();
    for (size_t i = 0; i < block.size(); ++i) {
        int32_t q[3];
        for (int a = 0; a < 3; ++a)
            if (!las::quantise(p[a][i], target.scale[a], target.offset[a], q[a])) {
                error = unfit(block, i);
                return false;
            }
        for (int a = 0; a < 3; ++a) las::store<int32_t>(records + i * length + kAt[a], q[a]);
    }
    return true;
}
bool convert(const LasFileHeader& target, Block& block, std::vector<uint8_t>& converted,
             std::string& error) {
    const LasFileHeader& from = block.header();
    const size_t n = block.size();
    LasColumns c = block.all();
    if (!block.moved()) {
        if (sameQuantisation(from, target))
            c.x = c.y = c.z = nullptr;
        else
            c.X = c.Y = c.Z = nullptr;
    }
    // The scan angle's unit differs between the two record cores: convert through degrees.
    if (kLasPointLayouts[from.pointFormat].extendedCore ==
        kLasPointLayouts[target.pointFormat].extendedCore)
        c.scanAngleDegrees = nullptr;
    else
        c.scanAngle = nullptr;
    if (lasExtraByteCount(from) != lasExtraByteCount(target)) c.extraBytes = nullptr;
    if (converted.size() < n * target.recordLength) converted.resize(n * target.recordLength);
    const size_t done = encodeLasRecords(target, c, n, converted.data());
    if (done == n) return true;
    error = unfit(block, done);
    return false;
}

class LasFileWriterStage : public Stage {
public:
    explicit LasFileWriterStage(const LasWriteOptions& o) : m_o(o) {
        if (m_o.name.empty()) m_o.name = m_o.path;
    }
    std::string type() const override { return "writers.las"; }
    bool prepare(Schema& s, std::string& error) override {
        if (!lasTargetHeader(s.header, m_o, s.source, m_target, error)) return false;
        std::string warning;
        const std::string unreadable =
            s.crs.empty() && !s.crsNote.empty() ? "'" + s.source + "': " + s.crsNote : "";
        if (!writeCrsRecords(m_target, s.crs, unreadable, s.crsMoved, s.sourceMinor,
                             s.header.pointFormat, m_o.force,
                             warning, error))
            return false;
        if (!warning.empty()) m_warnings.push_back(warning);
        return true;
    }
    bool begin(std::string& error) override {
        m_writer.setCompressed(m_o.compressed);
        if (m_writer.open(m_o.path.c_str(), m_target) == 0) return true;
        error = "cannot write '" + m_o.name + "': " + m_writer.error();
        return false;
    }
    bool run(Block& block, std::string& error) override {
        return lasWriteBlock(m_writer, m_target, block, m_converted, error);
    }
    bool finish(std::string&) override {
        m_writer.close();
        return true;
    }
    uint64_t written() const override { return m_writer.pointCount(); }
    bool isWriter() const override { return true; }

private:
    LasWriteOptions m_o;
    LasFileHeader m_target;
    LasWriter m_writer;
    std::vector<uint8_t> m_converted;
};

}  // namespace

bool lasWriteBlock(LasWriter& writer, const LasFileHeader& target, Block& block,
                   std::vector<uint8_t>& scratch, std::string& error) {
    const LasFileHeader& h = block.header();
    const size_t n = block.size();
    const bool sameLayout =
        h.pointFormat == target.pointFormat && h.recordLength == target.recordLength;
    if (block.moved() && sameLayout) {
        if (!quantiseInPlace(target, block, error)) return false;
    } else if (block.moved() || !sameLayout || !sameQuantisation(h, target)) {
        if (!convert(target, block, scratch, error)) return false;
        writer.writeRaw(scratch.data(), n);
        return true;
    }
    writer.writeRaw(block.records(), n);
    return true;
}

std::unique_ptr<Stage> makeLasWriter(const LasWriteOptions& o) {
    return std::make_unique<LasFileWriterStage>(o);
}

}  // namespace orv
