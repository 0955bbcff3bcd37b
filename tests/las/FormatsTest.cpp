// Point data formats 0 to 10 and the 1.4 header: where the readers find each field, and how
// many records they take.
#include <gtest/gtest.h>

#include <optional>

#include "OrvLas.h"
#include "OrvLasStream.h"
#include "support/LasBuilder.h"
#include "support/TestSupport.h"

namespace {

using orv::OrvPtr;

struct Record {
    uint8_t byte14, byte15, byte16;
};

// Records whose bytes 14, 15 and 16 differ in every bit that the two layouts read apart.
const Record kRecords[] = {{0xB5, 0x9C, 0x07}, {0x3A, 0x11, 0x2A}, {0xFF, 0xF0, 0xC8}};

class Formats : public orvtest::CountedTest {
protected:
    std::string write(const std::vector<uint8_t>& bytes) {
        const std::string path = m_dir.path("f" + std::to_string(m_files++) + ".las");
        orvtest::writeFile(path, bytes);
        return path;
    }

    // The three records of kRecords in a file of the given format and record length.
    std::string recordsFile(uint8_t format, uint16_t length) {
        orvtest::LasBuilder las;
        las.header.pointDataFormat = format;
        las.header.pointDataRecordLength = length;
        int i = 0;
        for (const Record& r : kRecords) {
            las.add(
                {1000 * i, -2000 * i, 3 * i, static_cast<uint16_t>(40000 + i), r.byte14, r.byte15});
            ++i;
        }
        std::vector<uint8_t> bytes = las.bytes();
        // Byte 16 lies beyond the builder's 16-byte prefix: set it in place.
        if (length > 16)
            for (size_t k = 0; k < 3; ++k)
                bytes[sizeof(LasHeader) + k * length + 16] = kRecords[k].byte16;
        return write(bytes);
    }

    orvtest::TempDir m_dir;
    int m_files = 0;
};

// Every point of the file through the bulk reader; nothing when it refuses the file.
std::optional<std::vector<LasPnt>> readBulk(const std::string& path) {
    orv::LasPntPool* raw = nullptr;
    if (orv::orvReadLas(path.c_str(), &raw, nullptr) != 1) return std::nullopt;
    OrvPtr<orv::LasPntPool> pool = OrvPtr<orv::LasPntPool>::adopt(raw);
    return std::vector<LasPnt>(pool->data(), pool->data() + pool->size());
}

// Every point of the file through the input stream (no origin), and its getPntCount.
std::vector<LasPnt> readStream(const std::string& path, int* count = nullptr) {
    OrvPtr<IOrvInPntsStream> s(newInLasPntStream());
    EXPECT_EQ(s->open(path.c_str(), nullptr), 0);
    if (count) *count = s->getPntCount();
    std::vector<LasPnt> out;
    while (OrvPtr<orv::LasPntArray> block = s->readPnts(1, 1000)) {
        if (block->size() == 0) break;
        out.insert(out.end(), block->data(), block->data() + block->size());
    }
    return out;
}

TEST_F(Formats, ReturnNumberAndClassificationFollowTheFormat) {
    // Formats 6 to 10: return number in bits 0-3 of byte 14, classification in byte 16. Every
    // other format, the unknown ones above 10 included, keeps the 0-5 layout.
    struct Case {
        uint8_t format;
        bool extended;
    } cases[] = {{0, false}, {1, false}, {3, false}, {5, false},  {6, true},    {7, true},
                 {8, true},  {9, true},  {10, true}, {11, false}, {128, false}, {255, false}};
    for (const Case& c : cases) {
        const std::string path = recordsFile(c.format, 30);
        const auto bulk = readBulk(path);
        ASSERT_TRUE(bulk) << +c.format;
        const auto streamed = readStream(path);
        ASSERT_EQ(bulk->size(), 3u) << +c.format;
        ASSERT_EQ(streamed.size(), 3u) << +c.format;
        for (int i = 0; i < 3; ++i) {
            const Record& r = kRecords[i];
            const uint8_t cls = c.extended ? r.byte16 : r.byte15;
            const uint8_t ret = r.byte14 & (c.extended ? 0x0F : 0x07);
            const std::string what =
                "format " + std::to_string(c.format) + " record " + std::to_string(i);
            const LasPnt b = (*bulk)[i], s = streamed[i];
            EXPECT_EQ(+b.classification, cls) << what;
            EXPECT_EQ(+b.returnNumber, 0) << what << ": the bulk reader keeps no return numbers";
            EXPECT_EQ(+s.classification, cls) << what;
            EXPECT_EQ(+s.returnNumber, ret) << what;
            for (const LasPnt& p : {b, s}) {
                EXPECT_FLOAT_EQ(+p.pnt.x, static_cast<float>(i)) << what;
                EXPECT_FLOAT_EQ(+p.pnt.y, static_cast<float>(-2 * i)) << what;
                EXPECT_FLOAT_EQ(+p.pnt.z, 0.003f * i) << what;
                EXPECT_EQ(+p.pnt.attr, 40000 + i) << what;
            }
        }
    }
}

TEST_F(Formats, RecordsTooShortForTheFormatAreRefused) {
    struct Case {
        uint8_t format;
        uint16_t length;
        bool read;
    } cases[] = {{0, 15, false}, {0, 16, true},   {5, 16, true},  {6, 16, false},
                 {6, 17, true},  {10, 16, false}, {10, 17, true}, {11, 16, true}};
    for (const Case& c : cases) {
        const std::string path = recordsFile(c.format, c.length);
        const std::string what =
            "format " + std::to_string(c.format) + " length " + std::to_string(c.length);
        const auto bulk = readBulk(path);
        EXPECT_EQ(bulk.has_value(), c.read) << what;
        EXPECT_EQ(readStream(path).size(), c.read ? 3u : 0u) << what;
        orv::LasFileInfo info;
        ASSERT_EQ(orv::ReadLasInfo(path.c_str(), info), 0) << what;
        EXPECT_EQ(info.readablePoints, c.read ? 3u : 0u) << what;
        // Every length here is below its format's own, except for the unknown format 11.
        EXPECT_EQ((info.warnings & orv::kLasRecordTooShort) != 0, c.format <= 10) << what;
        if (c.read && c.length == 17) {
            EXPECT_EQ(+(*bulk)[2].classification, c.format == 6 || c.format == 10 ? 0xC8 : 0xF0)
                << what;
        }
    }
}

TEST_F(Formats, A14HeaderGivesItsCountIn64Bits) {
    const uint64_t kHuge = uint64_t{1} << 40;
    struct Case {
        const char* what;
        uint8_t minor;
        uint16_t headerSize;
        bool extensionBytes;  // bytes 227-374 hold the extension (else records start at 227)
        uint32_t legacy;
        uint64_t extended;
        uint64_t read;  // points the bulk reader returns, and getPntCount
        uint32_t warnings;
    } cases[] = {
        {"legacy 0, 64-bit 5", 4, 375, true, 0, 5, 5, 0},
        {"64-bit beyond the records", 4, 375, true, 0, 9, 5, orv::kLasPointsBeyondEnd},
        {"64-bit beyond any int", 4, 375, true, 0, kHuge, 5, orv::kLasPointsBeyondEnd},
        {"legacy and 64-bit agree", 4, 375, true, 5, 5, 5, 0},
        {"a nonzero legacy count wins", 4, 375, true, 3, 5, 3, orv::kLasCountsDisagree},
        {"1.3 has no 64-bit count", 3, 375, true, 0, 5, 0, 0},
        {"header size below 375", 4, 227, true, 0, 5, 0, 0},
    };
    for (const Case& c : cases) {
        orvtest::LasBuilder las;
        las.header.versionMinor = c.minor;
        las.header.headerSize = c.headerSize;
        las.header.pointDataFormat = 6;
        las.header.pointDataRecordLength = 30;
        las.keepCount = true;
        las.header.numberOfPointRecords = c.legacy;
        las.with14 = c.extensionBytes;
        las.extension.numberOfPointRecords = c.extended;
        for (int i = 0; i < 5; ++i) las.add({i, i, i, 0, 1, 0});
        const std::string path = write(las.bytes());

        const auto bulk = readBulk(path);
        ASSERT_TRUE(bulk) << c.what;
        EXPECT_EQ(bulk->size(), c.read) << c.what;
        int count = -1;
        readStream(path, &count);
        EXPECT_EQ(count, static_cast<int>(c.read)) << c.what;
        orv::LasFileInfo info;
        ASSERT_EQ(orv::ReadLasInfo(path.c_str(), info), 0) << c.what;
        EXPECT_EQ(info.readablePoints, c.read) << c.what;
        EXPECT_EQ(info.presentRecords, 5u) << c.what;
        EXPECT_EQ(info.warnings, c.warnings) << c.what;
    }
}

TEST_F(Formats, ExtendedVlrsAfterThePointsAreNotRecords) {
    // Five records, then 60 bytes (two records' worth) of extended VLRs; the 64-bit count claims
    // seven. Without VLRs stated, the same bytes are records to the stream, as they always were.
    struct Case {
        uint32_t evlrCount;
        size_t streamed;
        int count;
    } cases[] = {{1, 5, 5}, {0, 7, 7}};
    for (const Case& c : cases) {
        orvtest::LasBuilder las;
        las.header.versionMinor = 4;
        las.header.headerSize = 375;
        las.header.pointDataFormat = 6;
        las.header.pointDataRecordLength = 30;
        las.keepCount = true;
        las.header.numberOfPointRecords = 0;
        las.with14 = true;
        las.extension.numberOfPointRecords = 7;
        las.extension.numberOfEvlrs = c.evlrCount;
        las.extension.evlrOffset = 375 + 5 * 30;
        for (int i = 0; i < 5; ++i) las.add({i, i, i, 0, 1, 0});
        std::vector<uint8_t> bytes = las.bytes();
        bytes.resize(bytes.size() + 60, 0x5A);
        const std::string path = write(bytes);

        const auto bulk = readBulk(path);
        ASSERT_TRUE(bulk);
        EXPECT_EQ(bulk->size(), c.streamed) << c.evlrCount;
        int count = -1;
        EXPECT_EQ(readStream(path, &count).size(), c.streamed) << c.evlrCount;
        EXPECT_EQ(count, c.count) << c.evlrCount;
        orv::LasFileInfo info;
        ASSERT_EQ(orv::ReadLasInfo(path.c_str(), info), 0);
        EXPECT_EQ(info.presentRecords, c.streamed) << c.evlrCount;
        EXPECT_EQ((info.warnings & orv::kLasPointsBeyondEnd) != 0, c.evlrCount > 0);
    }
}

TEST_F(Formats, A14HeaderCutShortOfItsExtensionStatesNoPoints) {
    // The header claims 375 bytes and a 1.4 version, but the file ends at 300: no bytes of it
    // are taken for a count.
    orvtest::LasBuilder las;
    las.header.versionMinor = 4;
    las.header.headerSize = 375;
    las.header.numberOfPointRecords = 0;
    las.keepCount = true;
    las.gap = 73;
    const std::string path = write(las.bytes());
    ASSERT_EQ(orvtest::readFile(path).size(), 300u);
    const auto bulk = readBulk(path);
    ASSERT_TRUE(bulk);
    EXPECT_TRUE(bulk->empty());
    orv::LasFileInfo info;
    ASSERT_EQ(orv::ReadLasInfo(path.c_str(), info), 0);
    EXPECT_FALSE(info.hasExtension);
    EXPECT_EQ(info.statedPoints, 0u);
}

TEST_F(Formats, InfoNamesTheFormatAndItsRecordLength) {
    struct Case {
        uint8_t format;
        uint16_t length;
        const char* name;
        bool tooShort;
    } cases[] = {
        {0, 20, "core", false},
        {3, 34, "core + GPS time + RGB", false},
        {3, 28, "core + GPS time + RGB", true},  // readable, but shorter than format 3's 34
        {6, 30, "extended core + GPS time", false},
        {10, 67, "extended core + GPS time + RGB + NIR + wave packets", false},
        {11, 20, "unknown", false},
    };
    for (const Case& c : cases) {
        const std::string path = recordsFile(c.format, c.length);
        orv::LasFileInfo info;
        ASSERT_EQ(orv::ReadLasInfo(path.c_str(), info), 0);
        EXPECT_STREQ(info.formatName, c.name) << +c.format;
        EXPECT_EQ((info.warnings & orv::kLasRecordTooShort) != 0, c.tooShort) << +c.format;
        EXPECT_EQ(info.readablePoints, 3u) << +c.format;
    }
    orv::LasFileInfo info;
    EXPECT_EQ(orv::ReadLasInfo(m_dir.path("missing.las").c_str(), info), -1);
    EXPECT_EQ(orv::ReadLasInfo(write({'L', 'A', 'S', 'F'}).c_str(), info), -2);
}

}  // namespace
