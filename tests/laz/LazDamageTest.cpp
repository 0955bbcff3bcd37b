// Damaged compressed files through every entry point: each refuses the file, or gives the
// points that decode and says so. None gives records after the damage, none stays silent.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "OrvLas.h"
#include "OrvLasFile.h"
#include "laz/LazCoder.h"
#include "laz/LazSupport.h"

using namespace orvtest;

namespace {

constexpr uint64_t kAll = 23875;  // points of 4_6_crop.las
constexpr int64_t kSome = -1;     // fewer than stated, more than none, as LasReader gives
constexpr int64_t kRefused = -2;

// What one entry point made of a file.
struct Outcome {
    int64_t points = kRefused;
    bool warned = false;
};

// The number after `label` (and spaces) in `text`, or kRefused.
int64_t numberAfter(const std::string& text, const std::string& label) {
    size_t at = text.find(label);
    if (at == std::string::npos) return kRefused;
    at = text.find_first_not_of(' ', at + label.size());
    if (at == std::string::npos || !std::isdigit(static_cast<unsigned char>(text[at])))
        return kRefused;
    return std::stoll(text.substr(at));
}

Outcome viaOrvter(const std::string& args, const std::string& label, int warnStatus = 0) {
    const CommandResult r = runCommand(std::string(ORVTER_PATH) + " " + args + " 2>&1");
    Outcome o;
    if (r.status != 0 && r.status != warnStatus) return o;
    o.points = numberAfter(r.out, label);
    // Damage is what counts here: a word about a CRS the output cannot carry is not.
    bool damage = false;
    for (size_t at = r.out.find("warning:"); at != std::string::npos;
         at = r.out.find("warning:", at + 1)) {
        const std::string line = r.out.substr(at, r.out.find('\n', at) - at);
        damage |= line.find(" CRS") == std::string::npos;
    }
    o.warned = damage || (warnStatus && r.status == warnStatus);
    return o;
}

Outcome viaLasReader(const std::string& path) {
    orv::LasReader reader;
    Outcome o;
    if (reader.open(path.c_str()) != 0) return o;
    std::vector<uint8_t> block(4096 * size_t(reader.header().recordLength));
    o.points = 0;
    while (size_t got = reader.readRaw(block.data(), 4096)) o.points += int64_t(got);
    o.warned = (reader.header().warnings & (orv::kLasChunkTableLost | orv::kLasRecordsDamaged)) &&
               !reader.error().empty();
    return o;
}

// The bulk reader takes any bytes for a header: for bytes that are no LAS file, no points is
// its refusal.
Outcome viaBulkReader(const std::string& path) {
    orv::LasPntPool* pool = nullptr;
    Outcome o;
    if (orv::orvReadLas(path.c_str(), &pool, nullptr) != 1) return o;
    orv::OrvPtr<orv::LasPntPool> points = orv::OrvPtr<orv::LasPntPool>::adopt(pool);
    if (points->size() == 0) return o;
    o.points = int64_t(points->size());
    o.warned = true;  // its count is its only word: compared below, not a warning
    return o;
}

#ifdef ORV_PYTHON_DIR
// Python's read and chunks: the points and whether the header's warnings say anything.
Outcome viaPython(const std::string& path, bool chunked) {
    const std::string code =
        "import sys, orvterdep\n"
        "try:\n" +
        std::string(chunked ? "    c = orvterdep._core.Chunks(sys.argv[1], 1000)\n"
                              "    n = sum(len(p) for p in c)\n"
                              "    h = c.header\n"
                            : "    h, p = orvterdep.read(sys.argv[1])\n"
                              "    n = len(p)\n") +
        "    print('points', n, 'warnings', len(h['warnings']))\n"
        "except orvterdep.FormatError as e:\n"
        "    print('refused', e)\n";
    const CommandResult r =
        runCommand("PYTHONPATH=" + shellQuote(ORV_PYTHON_DIR) + " /usr/bin/python3 -c " +
                   shellQuote(code) + " " + shellQuote(path) + " 2>&1");
    Outcome o;
    if (r.status != 0 || r.out.find("refused") == 0) return o;
    o.points = numberAfter(r.out, "points");
    o.warned = numberAfter(r.out, "warnings") > 0;
    return o;
}
#endif

class LazDamageContract : public ::testing::Test {
protected:
    void SetUp() override {
        if (lazDataDir().empty()) GTEST_SKIP() << "no shared samples beside the clone";
        // Our writer's LAZ of 4_6_crop.las in chunks of 2000 points: twelve chunks and a table.
        ASSERT_EQ(copyLas(lasDataDir() + "/4_6_crop.las", m_dir.path("whole.laz"), 1, 2000), "");
        m_whole = readFile(m_dir.path("whole.laz"));
    }
    std::string damaged(const std::string& name,
                        const std::function<void(std::vector<uint8_t>&)>& f) {
        std::vector<uint8_t> bytes = m_whole;
        f(bytes);
        writeFile(m_dir.path(name), bytes);
        return m_dir.path(name);
    }
    TempDir m_dir;
    std::vector<uint8_t> m_whole;
};

TEST_F(LazDamageContract, EveryEntryPointRefusesOrGivesWhatDecodesAndSaysSo) {
    // Where chunk 4 of 12 lies: past the first three chunks' bytes.
    const size_t middle = m_whole.size() / 3;
    const std::string laz = lazDataDir();
    struct Case {
        std::string path;
        int64_t points;  // kAll, kSome, or kRefused
        bool warned;
        int64_t stated = int64_t(kAll);
    };
    // A byte changed in the second of two layered chunks: the first chunk's points, and a word.
    std::vector<uint8_t> layered = readFile(laz + "/multichannel-fmt7.laz");
    layered[layered.size() - 5000] ^= 0x5A;
    writeFile(m_dir.path("layered-changed-byte.laz"), layered);
    orv::LasReader compressor1;
    const bool compressor1Reads =
        compressor1.open((laz + "/simple-laszip-compressor-version-1.2r0.laz").c_str()) == 0;
    const Case cases[] = {
        {m_dir.path("whole.laz"), int64_t(kAll), false},
        {damaged("cut-in-chunk.laz", [&](auto& b) { b.resize(middle); }), kSome, true},
        {damaged("table-cut-1.laz", [](auto& b) { b.pop_back(); }), int64_t(kAll), true},
        {damaged("table-cut-25.laz", [](auto& b) { b.resize(b.size() - 25); }), int64_t(kAll),
         true},
        {damaged("changed-byte.laz", [&](auto& b) { b[middle] ^= 0x5A; }), kSome, true},
        {m_dir.path("layered-changed-byte.laz"), kSome, true, 70000},
        {laz + "/lone-star-invalid-tile.laz", kRefused, false},
        {laz + "/simple-laszip-compressor-version-1.2r0.laz", compressor1Reads ? 1065 : kRefused,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string q = shellQuote(c.path), out = shellQuote(m_dir.path("out.las"));
        const Outcome reader = viaLasReader(c.path);
        std::vector<std::pair<const char*, Outcome>> entries = {
            {"LasReader", reader},
            {"bulk reader", viaBulkReader(c.path)},
            {"las copy", viaOrvter("las copy --quiet " + q + " " + out, "copied")},
            {"las copy --strict",
             viaOrvter("las copy --quiet --strict " + q + " " + out, "copied", 3)},
            {"las info --check", viaOrvter("las info --check " + q, "readable points:")},
            {"las stream", viaOrvter("las stream --quiet " + q + " " + out, "streamed")},
            {"las merge", viaOrvter("las merge --quiet " + out + " " + q, "merged")},
#ifdef ORV_PYTHON_DIR
            {"python read", viaPython(c.path, false)},
            {"python chunks", viaPython(c.path, true)},
#endif
        };
        for (const auto& [name, o] : entries) {
            SCOPED_TRACE(name);
            const bool strict = std::string(name) == "las copy --strict";
            if (c.points == kSome) {
                // Whatever decodes before the damage, and the same everywhere.
                ASSERT_GT(reader.points, 0);
                EXPECT_LT(reader.points, c.stated);
                if (!strict) {
                    EXPECT_EQ(o.points, reader.points);
                }
            } else if (!strict || !c.warned) {
                EXPECT_EQ(o.points, c.points);
            }
            if (strict && c.warned) {
                EXPECT_TRUE(o.warned) << "exit 3 expected";
            } else if (o.points != kRefused) {
                EXPECT_EQ(o.warned, c.warned || std::string(name) == "bulk reader");
            }
        }
    }
}

}  // namespace

namespace {

TEST_F(LazDamageContract, ChunkSizeZeroReadsAsChunksOfVaryingSize) {
    // The same chunks, described as one other writer describes chunks of varying size: chunk
    // size 0 in the compression VLR, and each chunk's point count in the table.
    std::vector<uint8_t> bytes = m_whole;
    LazOpened opened(bytes);
    ASSERT_TRUE(opened.ok()) << opened.error();
    const std::vector<orv::laz::ChunkEntry> chunks = opened.decoder().chunks();
    ASSERT_EQ(chunks.size(), 12u);
    const uint64_t tableAt = chunks.back().offset + chunks.back().bytes;
    std::vector<uint8_t> table(8, 0);
    table[4] = uint8_t(chunks.size());
    orv::laz::Encoder enc;
    enc.init(&table);
    orv::laz::IntegerCodec ic(32, 2);
    ic.init();
    uint32_t lastPoints = 0, lastBytes = 0;
    for (const auto& c : chunks) {
        ic.compress(enc, int32_t(lastPoints), int32_t(c.points), 0);
        ic.compress(enc, int32_t(lastBytes), int32_t(c.bytes), 1);
        lastPoints = uint32_t(c.points), lastBytes = uint32_t(c.bytes);
    }
    enc.done();
    bytes.resize(size_t(tableAt));
    bytes.insert(bytes.end(), table.begin(), table.end());
    std::memset(&bytes[lazVlrPayloadAt(bytes) + 12], 0, 4);
    writeFile(m_dir.path("variable.laz"), bytes);
    writeFile(m_dir.path("variable-cut.laz"), std::vector<uint8_t>(bytes.begin(), bytes.end() - 1));

    const LazDecoded whole = decodeLazBytes(m_whole), variable = decodeLazBytes(bytes);
    EXPECT_EQ(variable.error, "");
    EXPECT_EQ(variable.warning, "");
    EXPECT_EQ(variable.points, kAll);
    EXPECT_TRUE(variable.records == whole.records);
    // A table cut short still lists the chunks before the cut; the rest are lost, and said so.
    const Outcome cut = viaLasReader(m_dir.path("variable-cut.laz"));
    EXPECT_EQ(cut.points, 22000);
    EXPECT_TRUE(cut.warned);
    const CommandResult info = runCommand(std::string(ORVTER_PATH) + " las info --check " +
                                          shellQuote(m_dir.path("variable.laz")));
    EXPECT_NE(info.out.find("readable points:   23875"), std::string::npos) << info.out;
    // The cut table lists fewer points than the header states: seen without decoding a chunk.
    const CommandResult plain = runCommand(std::string(ORVTER_PATH) + " las info " +
                                           shellQuote(m_dir.path("variable-cut.laz")) + " 2>&1");
    EXPECT_NE(plain.out.find("warning: '" + m_dir.path("variable-cut.laz") +
                             "': the LAZ chunk table's 11 chunks hold 22000 of the 23875 points"),
              std::string::npos)
        << plain.out;
}

TEST_F(LazDamageContract, InfoChecksTheChunkTableAndDecodesOnlyWhenAsked) {
    const size_t middle = m_whole.size() / 3;
    struct Case {
        std::string path;
        bool tableWarns;  // found from the header, VLRs and chunk table alone
    };
    const Case cases[] = {
        {m_dir.path("whole.laz"), false},
        {damaged("cut-in-chunk.laz", [&](auto& b) { b.resize(middle); }), true},
        {damaged("table-cut-1.laz", [](auto& b) { b.pop_back(); }), true},
        {damaged("changed-byte.laz", [&](auto& b) { b[middle] ^= 0x5A; }), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Outcome plain = viaOrvter("las info " + shellQuote(c.path), "readable points:");
        const CommandResult text = runCommand(std::string(ORVTER_PATH) + " las info " +
                                              shellQuote(c.path) + " 2>/dev/null");
        EXPECT_EQ(plain.warned, c.tableWarns);
        EXPECT_NE(text.out.find("readable points:   not counted: the compressed points were not "
                                "decoded (--check)"),
                  std::string::npos)
            << text.out;
        const CommandResult json = runCommand(std::string(ORVTER_PATH) + " las info --json " +
                                              shellQuote(c.path) + " 2>/dev/null");
        EXPECT_NE(json.out.find("\"readable_points\": null"), std::string::npos) << json.out;
        // Every damaged sample is found once the chunks are decoded.
        const Outcome checked =
            viaOrvter("las info --check " + shellQuote(c.path), "readable points:");
        EXPECT_EQ(checked.warned, c.path != m_dir.path("whole.laz"));
    }
}

// Peak resident memory, in KiB, of a command run alone in a fresh child.
long peakKiB(const std::string& command) {
    const std::string code =
        "import resource, subprocess, sys\n"
        "subprocess.run(sys.argv[1], shell=True, stdout=subprocess.DEVNULL, "
        "stderr=subprocess.DEVNULL)\n"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n";
    const CommandResult r =
        runCommand("/usr/bin/python3 -c " + shellQuote(code) + " " + shellQuote(command));
    return r.status == 0 ? std::atol(r.out.c_str()) : -1;
}

TEST_F(LazDamageContract, MemoryFollowsTheBytesOfTheFileNotItsCounts) {
    // A small file whose counts claim chunks of 16 million 34-byte records (570 MB each).
    std::vector<uint8_t> bytes = readFile(lazDataDir() + "/simple.laz");
    const size_t payload = lazVlrPayloadAt(bytes);
    uint32_t pointOffset = 0;
    std::memcpy(&pointOffset, &bytes[96], 4);
    const uint32_t huge = 1u << 24, count = 0xFFFFFFFFu;
    std::memcpy(&bytes[payload + 12], &huge, 4);  // chunk size
    std::memcpy(&bytes[107], &count, 4);          // legacy point count
    const std::string claims = m_dir.path("claims.laz"), lost = m_dir.path("claims-lost.laz");
    const std::string out = m_dir.path("out.las");
    writeFile(claims, bytes);  // its chunk table contradicts the count: refused
    const int64_t nowhere = -2;
    std::memcpy(&bytes[pointOffset], &nowhere, 8);
    writeFile(lost, bytes);  // no table: the one chunk is decoded until its bytes run out
    const std::string orvter = std::string(ORVTER_PATH) + " ";
    // What the program takes on an intact sample (more under the sanitizers): the claims may
    // add no more than 64 MiB to it, where they once asked for gigabytes.
    const long baseline = peakKiB(orvter + "las info " + shellQuote(lazDataDir() + "/simple.laz"));
    ASSERT_GT(baseline, 0);
    for (const std::string& path : {claims, lost}) {
        for (const std::string& command :
             {orvter + "las info " + shellQuote(path),
              orvter + "las copy " + shellQuote(path) + " " + shellQuote(out),
              orvter + "las stream " + shellQuote(path) + " " + shellQuote(out)}) {
            SCOPED_TRACE(command);
            const long kib = peakKiB(command);
            ASSERT_GT(kib, 0);
            EXPECT_LT(kib, baseline + 64 * 1024);
        }
    }
    EXPECT_EQ(viaLasReader(claims).points, kRefused);
    const Outcome walked = viaLasReader(lost);
    EXPECT_GE(walked.points, 1065);  // what follows the real points is not told from points
    EXPECT_TRUE(walked.warned);
}

}  // namespace
