// Points in the caller's layout: the format a set of fields needs, records into an array of
// structures at odd strides and back, and extra dimensions as typed values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "OrvLasPoints.h"

namespace {

TEST(LasPoints, EachFormatIsTheFirstThatHoldsItsOwnGroups) {
    for (uint8_t f = 0; f <= orv::kLasLastPointFormat; ++f)
        EXPECT_EQ(orv::lasPointFormatFor(orv::lasPointFormatGroups(f)), f);
    // NIR comes only with the 1.4 core and colour; each group brings its minimum version.
    EXPECT_EQ(orv::lasPointFormatFor(orv::kLasNirGroup), 8);
    EXPECT_EQ(orv::lasPointFormatFor(orv::kLasRgbGroup | orv::kLasWavePacketGroup), 5);
    const uint8_t minors[] = {2, 2, 2, 2, 3, 3, 4, 4, 4, 4, 4};
    for (uint8_t f = 0; f <= orv::kLasLastPointFormat; ++f)
        EXPECT_EQ(orv::lasMinorVersionFor(f), minors[f]) << int(f);
}

// Little-endian bytes of a value.
template <class T>
std::vector<uint8_t> bytesOf(T v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

orv::LasExtraField field(uint8_t type, uint8_t options, uint32_t size, double scale = 1,
                         double offset = 0) {
    orv::LasExtraField f;
    f.dataType = type, f.options = options, f.size = size;
    f.scale[0] = f.scale[1] = scale;
    f.offsetValue[0] = f.offsetValue[1] = offset;
    return f;
}

TEST(LasPoints, ExtraDimensionsDecodeTypedScaledAndEncodeBack) {
    struct Case {
        const char* what;
        orv::LasExtraField field;
        std::vector<uint8_t> stored;
        orv::LasValueType type;
        std::vector<uint8_t> value;  // as lasExtraValues says
    };
    const Case cases[] = {
        {"scaled int16", field(4, 0x18, 2, 0.01, -5), bytesOf<int16_t>(-250),
         orv::LasValueType::F64, bytesOf(-7.5)},
        {"float as it is", field(9, 0, 4), bytesOf(2.5f), orv::LasValueType::F32, bytesOf(2.5f)},
        {"uint16 pair", field(13, 0, 4), {1, 2, 3, 4}, orv::LasValueType::U16, {1, 2, 3, 4}},
        {"scaled uint8 pair",
         field(11, 0x08, 2, 0.5),
         {4, 9},
         orv::LasValueType::F64,
         [] {
             auto b = bytesOf(2.0), c = bytesOf(4.5);
             b.insert(b.end(), c.begin(), c.end());
             return b;
         }()},
        {"untyped", field(0, 3, 3), {7, 8, 9}, orv::LasValueType::Bytes, {7, 8, 9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const orv::LasExtraValues v = orv::lasExtraValues(c.field);
        EXPECT_EQ(v.type, c.type);
        ASSERT_EQ(v.size, c.value.size());
        // Two records of one spare byte before the field: offsets and strides are honoured.
        orv::LasExtraField f = c.field;
        f.offset = 1;
        const size_t stride = 1 + f.size;
        std::vector<uint8_t> records(2 * stride, 0xEE);
        for (size_t i = 0; i < 2; ++i)
            std::memcpy(records.data() + i * stride + 1, c.stored.data(), f.size);
        std::vector<uint8_t> out(2 * (v.size + 3));
        orv::decodeLasExtraField(f, records.data(), stride, 2, out.data(), v.size + 3);
        EXPECT_TRUE(std::equal(c.value.begin(), c.value.end(), out.begin() + v.size + 3));
        std::vector<uint8_t> back(2 * stride, 0xEE);
        EXPECT_EQ(orv::encodeLasExtraField(f, out.data(), v.size + 3, 2, back.data(), stride), 2u);
        EXPECT_EQ(back, records);
    }
    // A scaled value beyond its type, or NaN, stops the encoding at its point.
    const orv::LasExtraField f = field(3, 0x08, 2, 0.1);
    const double values[] = {6553.5, 6553.6, NAN};
    std::vector<uint8_t> extra(6);
    EXPECT_EQ(orv::encodeLasExtraField(f, reinterpret_cast<const uint8_t*>(values), 8, 3,
                                       extra.data(), 2),
              1u);
    EXPECT_EQ(orv::encodeLasExtraField(f, reinterpret_cast<const uint8_t*>(values + 2), 8, 1,
                                       extra.data(), 2),
              0u);
}

// Points of an array of structures at an odd stride, every field unaligned.
TEST(LasPoints, RecordsDecodeIntoAnArrayOfStructuresAndEncodeFromIt) {
    constexpr size_t kStride = 29, kAtX = 1, kAtFlags = 9, kAtSingle = 10, kAtRank = 14,
                     kAtExtra = 15, kAtDim = 18;
    orv::LasExtraField dim = field(4, 0x08, 2, 0.5);  // int16, after one raw extra byte
    dim.offset = 1;
    for (uint8_t format : {1, 6}) {
        SCOPED_TRACE(int(format));
        orv::LasFileHeader h;
        h.pointFormat = format;
        h.recordLength = static_cast<uint16_t>(orv::lasStandardRecordLength(format) + 3);
        const size_t n = 700;  // more than one group of records
        std::vector<double> x(n);
        std::vector<uint8_t> flags(n), extra(3 * n);
        std::vector<int16_t> angle(n);
        for (size_t i = 0; i < n; ++i) {
            x[i] = i * 0.25;
            flags[i] = static_cast<uint8_t>(i % (format < 6 ? 8 : 16));
            angle[i] = static_cast<int16_t>(format < 6 ? int(i % 181) - 90 : int(i * 37) - 15000);
            extra[3 * i] = static_cast<uint8_t>(i);
            std::memcpy(&extra[3 * i + 1], &angle[i], 2);
        }
        orv::LasColumns packed;
        packed.x = x.data(), packed.classificationFlags = flags.data();
        packed.scanAngle = angle.data(), packed.extraBytes = extra.data();
        std::vector<uint8_t> records(n * h.recordLength);
        ASSERT_EQ(orv::encodeLasRecords(h, packed, n, records.data()), n);

        std::vector<uint8_t> array(n * kStride);
        uint8_t* p = array.data();
        const orv::LasExtraColumn dimColumn{&dim, p + kAtDim, kStride};
        orv::LasStridedColumns c;
        c.x = {reinterpret_cast<double*>(p + kAtX), kStride};
        c.classificationFlags = {p + kAtFlags, kStride};
        c.synthetic = {p + kAtSingle, kStride}, c.keyPoint = {p + kAtSingle + 1, kStride};
        c.withheld = {p + kAtSingle + 2, kStride}, c.overlap = {p + kAtSingle + 3, kStride};
        c.scanAngleRank = {reinterpret_cast<int8_t*>(p + kAtRank), kStride};
        c.extraBytes = {p + kAtExtra, kStride};
        c.extraFields = &dimColumn, c.extraFieldCount = 1;
        orv::decodeLasRecords(h, records.data(), n, c);
        for (size_t i = 0; i < n; ++i, p += kStride) {
            double xi, value;
            std::memcpy(&xi, p + kAtX, 8);
            std::memcpy(&value, p + kAtDim, 8);
            ASSERT_DOUBLE_EQ(xi, x[i]) << i;
            ASSERT_EQ(p[kAtFlags], flags[i]) << i;
            for (int bit = 0; bit < 4; ++bit)
                ASSERT_EQ(p[kAtSingle + bit], (flags[i] >> bit) & 1) << i;
            const long degrees = format < 6 ? angle[i] : std::lround(angle[i] * 0.006);
            ASSERT_EQ(static_cast<int8_t>(p[kAtRank]), degrees) << i;
            ASSERT_EQ(std::memcmp(p + kAtExtra, &extra[3 * i], 3), 0) << i;
            ASSERT_EQ(value, angle[i] * 0.5) << i;
        }
        // Back from the single flags and the rank alone: the same records where the rank holds
        // the angle exactly (formats 0 to 5), the same flags everywhere.
        c.classificationFlags = {};
        std::vector<uint8_t> again(records.size());
        ASSERT_EQ(orv::encodeLasRecords(h, c, n, again.data()), n);
        if (format < 6) {
            EXPECT_EQ(again, records);
        }
        for (size_t i = 0; i < n; ++i) {
            const uint8_t* r = again.data() + i * h.recordLength;
            ASSERT_EQ(format < 6 ? r[15] >> 5 : r[15] & 0x0F, flags[i]) << i;
        }
    }
}

}  // namespace
