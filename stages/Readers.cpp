// Readers: a LAS or LAZ file record block by record block, and a COPC file (or URL) by bounds
// and level of detail, node by node.
#include <algorithm>
#include <limits>

#include "OrvCopc.h"
#include "OrvLasCrs.h"
#include "OrvStages.h"

namespace orv {
namespace {

void describeSource(Schema& s, const LasFileHeader& h, const std::string& name, uint64_t points) {
    s.header = h;
    s.crs = lasCrs(h, &s.crsNote);
    s.crsMoved = false;
    s.sourceMinor = h.versionMinor;
    s.points = points;
    s.source = name;
}

class LasFileReader : public ReaderStage {
public:
    explicit LasFileReader(const LasReadOptions& o) : m_o(o) {
        if (m_o.name.empty()) m_o.name = m_o.path;
    }
    std::string type() const override { return "readers.las"; }
    bool prepare(Schema& s, std::string& error) override {
        switch (m_reader.open(m_o.path.c_str())) {
            case 0:
                break;
            case -1:
                error = "cannot read '" + m_o.name + "'";
                return false;
            case -2:
                error = "'" + m_o.name + "' is not a LAS file";
                return false;
            default:
                error = "cannot read '" + m_o.name + "': " + m_reader.error();
                return false;
        }
        const LasFileHeader& h = m_reader.header();
        m_perBlock = blockRecords(h);
        describeSource(s, h, m_o.name, m_reader.pointCount());
        return true;
    }
    bool read(Block& block, std::string& error) override {
        const uint64_t at = m_reader.position();
        uint8_t* records = block.reset(m_reader.header(), m_perBlock, at, m_o.name);
        const size_t n = m_reader.readRaw(records, m_perBlock);
        block.setSize(n);
        m_read += n;
        (void)error;  // damage ends the records early; damage() says so
        return n > 0;
    }
    bool rewind(std::string& error) override {
        m_read = 0;
        if (m_reader.seek(0)) return true;
        error = "cannot read '" + m_o.name + "' a second time";
        return false;
    }
    uint64_t pointsRead() const override { return m_read; }
    const LasReader* lasReader() const override { return &m_reader; }

private:
    LasReadOptions m_o;
    LasReader m_reader;
    size_t m_perBlock = 1;
    uint64_t m_read = 0;
};

class CopcFileReader : public ReaderStage {
public:
    explicit CopcFileReader(const LasReadOptions& o) : m_o(o) {
        if (m_o.name.empty()) m_o.name = m_o.path;
        for (int a = 0; a < m_o.boundsAxes; ++a) {
            m_query.min[a] = m_o.bounds[a];
            m_query.max[a] = m_o.bounds[3 + a];
        }
        m_query.resolution = m_o.resolution;
        m_query.maxLevel = m_o.level;
    }
    std::string type() const override { return "readers.copc"; }
    bool prepare(Schema& s, std::string& error) override {
        if (m_reader.open(m_o.path) != 0 || !m_reader.nodes(m_query, m_nodes)) {
            error = "cannot read '" + m_o.name + "': " + m_reader.error();
            return false;
        }
        m_nodes.erase(std::remove_if(m_nodes.begin(), m_nodes.end(),
                                     [](const CopcNode& n) { return n.pointCount <= 0; }),
                      m_nodes.end());
        uint64_t points = 0;
        for (const CopcNode& n : m_nodes) points += static_cast<uint64_t>(n.pointCount);
        describeSource(s, m_reader.header(), m_o.name, points);
        return true;
    }
    // One node a block: the points of its chunk that the bounds take.
    bool read(Block& block, std::string& error) override {
        const LasFileHeader& h = m_reader.header();
        while (m_next < m_nodes.size()) {
            if (!m_reader.readNode(m_nodes[m_next++], m_chunk)) {
                error = "cannot read '" + m_o.name + "': " + m_reader.error();
                return false;
            }
            const size_t n = m_chunk.size() / h.recordLength;
            uint8_t* records = block.reset(h, n, m_read, m_o.name);
            std::copy(m_chunk.begin(), m_chunk.begin() + n * h.recordLength, records);
            m_keep.assign(n, 1);
            if (m_o.boundsAxes) {
                const double* p[3] = {block.x(), block.y(), block.z()};
                for (size_t i = 0; i < n; ++i)
                    for (int a = 0; a < 3; ++a)
                        m_keep[i] &= p[a][i] >= m_query.min[a] && p[a][i] <= m_query.max[a];
                block.keep(m_keep);
            }
            m_read += n;
            if (block.size()) return true;
        }
        return false;
    }
    bool rewind(std::string&) override {
        m_next = 0;
        m_read = 0;
        return true;
    }
    uint64_t pointsRead() const override { return m_read; }

private:
    LasReadOptions m_o;
    CopcReader m_reader;
    CopcQuery m_query;
    std::vector<CopcNode> m_nodes;
    std::vector<uint8_t> m_chunk, m_keep;
    size_t m_next = 0;
    uint64_t m_read = 0;
};

}  // namespace

size_t blockRecords(const LasFileHeader& h) {
    // Bytes of records at a time; a compressed input is read from chunks its decoder holds
    // already, so a smaller block costs no system calls and keeps a LAZ copy's memory down.
    constexpr size_t kBlockBytes = size_t{4} << 20;
    constexpr size_t kCompressedBlockBytes = size_t{1} << 20;
    return std::max<size_t>(1, (h.compressed ? kCompressedBlockBytes : kBlockBytes) /
                                   std::max<size_t>(1, h.recordLength));
}

const LasReader* ReaderStage::lasReader() const {
    return nullptr;
}

std::unique_ptr<ReaderStage> makeLasReader(const LasReadOptions& o) {
    if (o.copc) return std::make_unique<CopcFileReader>(o);
    return std::make_unique<LasFileReader>(o);
}

}  // namespace orv
