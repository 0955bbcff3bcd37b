// The top view against a rasterisation of the same points done here, pixel by pixel, through the
// PNG file as libpng decodes it.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "OrvCopc.h"
#include "OrvLasFile.h"
#include "OrvRender.h"
#include "support/TestSupport.h"

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

std::string sample(const std::string& name) {
    return orvtest::testDataDir() + "/" + name;
}

// The picture as libpng reads it back, or an empty vector.
std::vector<uint8_t> decodePng(const std::string& path, int& width, int& height) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return {};
    png.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr)) return {};
    width = static_cast<int>(png.width), height = static_cast<int>(png.height);
    return rgb;
}

// Per pixel: the highest z, and the class of the first point that reached it.
struct Raster {
    std::vector<float> top;
    std::vector<int> cls;
    uint64_t points = 0;  // the points the picture is made of
};

// The same rule the picture documents, written out plainly over every point of the file; of a
// COPC file, over the points of the levels whose spacing the pixel size needs.
Raster rasterise(const std::string& path, const orv::RenderImage& image) {
    orv::LasReader reader;
    EXPECT_EQ(reader.open(path.c_str()), 0) << reader.error();
    uint64_t n = reader.pointCount();
    std::vector<double> x(n), y(n), z(n);
    std::vector<uint8_t> c(n);
    orv::LasColumns cols;
    cols.x = x.data(), cols.y = y.data(), cols.z = z.data(), cols.classification = c.data();
    orv::CopcReader copc;
    if (copc.open(path) == 0) {
        orv::CopcQuery q;
        q.maxLevel = copc.levelFor(image.cell);
        std::vector<uint8_t> records;
        n = static_cast<uint64_t>(copc.read(q, records));
        orv::decodeLasRecords(copc.header(), records.data(), n, cols);
    } else {
        uint64_t done = 0;
        while (done < n) {
            orv::LasColumns at = cols;
            at.x += done, at.y += done, at.z += done, at.classification += done;
            const size_t got = reader.read(at, n - done);
            if (got == 0) break;
            done += got;
        }
        EXPECT_EQ(done, n);
    }
    Raster r;
    r.points = n;
    const size_t pixels = static_cast<size_t>(image.width) * image.height;
    r.top.assign(pixels, -std::numeric_limits<float>::infinity());
    r.cls.assign(pixels, -1);
    for (uint64_t i = 0; i < n; ++i) {
        if (x[i] < image.box[0] || x[i] > image.box[2] || y[i] < image.box[1] ||
            y[i] > image.box[3])
            continue;
        const long col =
            std::min<long>(image.width - 1, static_cast<long>((x[i] - image.box[0]) / image.cell));
        const long row =
            std::min<long>(image.height - 1, static_cast<long>((image.box[3] - y[i]) / image.cell));
        const size_t at = static_cast<size_t>(row) * image.width + col;
        if (static_cast<float>(z[i]) > r.top[at])
            r.top[at] = static_cast<float>(z[i]), r.cls[at] = c[i];
    }
    return r;
}

struct Case {
    const char* file;
    orv::RenderBy by;
    int size;
};

// Every pixel's colour follows from the points that fell in it; the empty ones stay background.
TEST(Render, PixelsMatchAnIndependentRasterOfTheSamples) {
    const Case cases[] = {
        {"las/autzen-thin.las", orv::RenderBy::kElevation, 300},
        {"las/autzen-thin.las", orv::RenderBy::kClass, 120},
        {"las/1.2-with-color.las", orv::RenderBy::kElevation, 257},
        {"las/test1_4.las", orv::RenderBy::kClass, 64},
        {"laz/simple.laz", orv::RenderBy::kClass, 200},
        // Levels 0 and 1 of 3, then all of them.
        {"laz/1.2-with-color.copc.laz", orv::RenderBy::kElevation, 180},
        {"laz/1.2-with-color.copc.laz", orv::RenderBy::kClass, 1100},
        {"laz/multichannel-fmt7.laz", orv::RenderBy::kElevation, 50},
    };
    orvtest::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " size " + std::to_string(c.size));
        const std::string path = sample(c.file);
        orv::RenderOptions o;
        o.by = c.by;
        o.longSide = c.size;
        o.decorations = false;
        orv::RenderImage image;
        std::string error;
        ASSERT_EQ(orv::renderLas(path.c_str(), o, image, error), 0) << error;
        orv::LasReader reader;
        ASSERT_EQ(reader.open(path.c_str()), 0);
        const orv::LasFileHeader& h = reader.header();
        EXPECT_EQ(std::max(image.width, image.height), c.size);
        EXPECT_DOUBLE_EQ(image.box[0], h.min[0]);
        EXPECT_DOUBLE_EQ(image.box[3], h.max[1]);
        const Raster expected = rasterise(path, image);
        EXPECT_EQ(image.pointsRead, expected.points);
        // test1_4.las has a point just outside its header's bounds.
        EXPECT_GE(image.pointsDrawn + 1, expected.points);

        const std::string png = dir.path("out.png");
        orv::writePng(png.c_str(), image);
        int w = 0, hgt = 0;
        const std::vector<uint8_t> rgb = decodePng(png, w, hgt);
        ASSERT_EQ(w, image.width);
        ASSERT_EQ(hgt, image.height);
        const double span = image.zHigh > image.zLow ? image.zHigh - image.zLow : 1.0;
        int wrong = 0;
        for (size_t i = 0; i < expected.top.size() && wrong < 5; ++i) {
            uint8_t want[3];
            if (expected.cls[i] < 0)
                std::memcpy(want, orv::kRenderBackground, 3);
            else if (c.by == orv::RenderBy::kClass)
                orv::renderClassColour(static_cast<uint8_t>(expected.cls[i]), want);
            else
                orv::renderRamp((expected.top[i] - image.zLow) / span, want);
            if (std::memcmp(want, &rgb[i * 3], 3) != 0) {
                ADD_FAILURE() << "pixel " << i % w << "," << i / w << " is " << int(rgb[i * 3])
                              << "," << int(rgb[i * 3 + 1]) << "," << int(rgb[i * 3 + 2])
                              << ", expected " << int(want[0]) << "," << int(want[1]) << ","
                              << int(want[2]);
                ++wrong;
            }
        }
    }
}

TEST(Render, SizesBoxesAndRefusals) {
    const std::string autzen = sample("las/autzen-thin.las");
    struct Shape {
        int width, height, longSide;
        bool box;
        int wantW, wantH;  // 0: refused
    };
    // autzen-thin is taller than wide: 3,406 by 4,649 units.
    const Shape shapes[] = {
        {0, 0, 100, false, 74, 100},  {0, 50, 0, false, 37, 50}, {80, 0, 0, false, 80, 110},
        {64, 64, 0, false, 64, 64},   {0, 0, 0, false, 0, 0},    {-1, 10, 0, false, 0, 0},
        {0, 0, 1 << 20, false, 0, 0}, {0, 0, 40, true, 40, 20},
    };
    for (const Shape& s : shapes) {
        SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height) + " long " +
                     std::to_string(s.longSide));
        orv::RenderOptions o;
        o.width = s.width, o.height = s.height, o.longSide = s.longSide;
        if (s.box) {
            o.useBox = true;
            const double box[4] = {636000, 849000, 637000, 849500};
            std::copy(box, box + 4, o.box);
        }
        orv::RenderImage image;
        std::string error;
        const int status = orv::renderLas(autzen.c_str(), o, image, error);
        if (s.wantW == 0) {
            EXPECT_EQ(status, -1);
            EXPECT_FALSE(error.empty());
            continue;
        }
        ASSERT_EQ(status, 0) << error;
        EXPECT_EQ(image.width, s.wantW);
        EXPECT_EQ(image.height, s.wantH);
        EXPECT_EQ(image.rgb.size(), static_cast<size_t>(s.wantW) * s.wantH * 3);
        if (s.box) {
            EXPECT_LT(image.pointsDrawn, image.pointsRead);
        }
    }
    orv::RenderOptions rgb;
    rgb.by = orv::RenderBy::kRgb;
    orv::RenderImage image;
    std::string error;
    EXPECT_EQ(orv::renderLas(sample("las/mvk-thin.las").c_str(), rgb, image, error), -1)
        << "format 1 has no colours";
    EXPECT_EQ(orv::renderLas(sample("las/README.md").c_str(), rgb, image, error), -1);
}

// The command writes what the library draws, decorations included; its mistakes are reported.
TEST(Render, CommandWritesThePictureAndReportsMistakes) {
    orvtest::TempDir dir;
    const std::string in = sample("laz/1.2-with-color.copc.laz"), out = dir.path("c.png");
    const std::string orvter = shellQuote(ORVTER_PATH) + " las render ";
    for (const char* by : {"elevation", "class", "intensity", "rgb", "density"}) {
        SCOPED_TRACE(by);
        ASSERT_EQ(runCommand(orvter + shellQuote(in) + " " + shellQuote(out) +
                             " --size 160x120 --hillshade --by " + by)
                      .status,
                  0);
        orv::RenderOptions o;
        o.width = 160, o.height = 120, o.hillshade = true;
        o.by = by[0] == 'e'   ? orv::RenderBy::kElevation
               : by[0] == 'c' ? orv::RenderBy::kClass
               : by[0] == 'i' ? orv::RenderBy::kIntensity
               : by[0] == 'r' ? orv::RenderBy::kRgb
                              : orv::RenderBy::kDensity;
        orv::RenderImage image;
        std::string error;
        ASSERT_EQ(orv::renderLas(in.c_str(), o, image, error), 0);
        int w = 0, h = 0;
        EXPECT_EQ(decodePng(out, w, h), image.rgb);
    }
    struct Bad {
        const char* args;
        int status;
        const char* says;
    };
    const Bad bad[] = {
        {"--size 0", 2, "--size"},     {"--size 12x", 2, "--size"},    {"--by height", 2, "--by"},
        {"--bbox 1,2,3", 2, "--bbox"}, {"--bbox 5,0,1,1", 1, "empty"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.args);
        const auto r = runCommand(orvter + shellQuote(in) + " " + shellQuote(out) + " " + b.args +
                                  " 2>&1 >/dev/null");
        EXPECT_EQ(r.status, b.status);
        EXPECT_NE(r.out.find(b.says), std::string::npos) << r.out;
    }
    const auto r =
        runCommand(orvter + shellQuote(sample("las/README.md")) + " " + shellQuote(out) + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("cannot render"), std::string::npos) << r.out;
}

// Threads draw shares of the points into pictures of their own and compress runs of rows apart:
// the picture and the file must be those of one thread, ties between equally high points
// included (the generated heights are whole millimetres, so pixels see ties).
TEST(Render, ThreadsDrawAndEncodeWhatOneThreadDoes) {
    orvtest::TempDir dir;
    const std::string las = dir.path("gen.las"), copc = dir.path("gen.copc.laz");
    const std::string orvter = shellQuote(ORVTER_PATH);
    ASSERT_EQ(
        runCommand(orvter + " las gen " + shellQuote(las) + " --points 300000 --quiet").status, 0);
    ASSERT_EQ(
        runCommand(orvter + " las copc " + shellQuote(las) + " " + shellQuote(copc) + " --quiet")
            .status,
        0);
    for (const std::string& path : {las, copc}) {
        for (const char* by : {"elevation", "class", "intensity", "density"}) {
            SCOPED_TRACE(path + " by " + by);
            orv::RenderOptions o;
            ASSERT_TRUE(orv::renderByName(by, o.by));
            o.longSide = 200;
            o.hillshade = true;
            orv::RenderImage one, three;
            std::string error;
            o.threads = 1;
            ASSERT_EQ(orv::renderLas(path.c_str(), o, one, error), 0) << error;
            o.threads = 3;
            ASSERT_EQ(orv::renderLas(path.c_str(), o, three, error), 0) << error;
            EXPECT_EQ(one.pointsRead, three.pointsRead);
            EXPECT_EQ(one.pointsDrawn, three.pointsDrawn);
            EXPECT_EQ(one.count, three.count);
            EXPECT_EQ(0, std::memcmp(one.top.data(), three.top.data(), one.top.size() * 4));
            EXPECT_EQ(one.rgb, three.rgb);
        }
    }
    // Large enough for three runs of rows.
    orv::RenderOptions o;
    o.longSide = 1000;
    orv::RenderImage image;
    std::string error;
    ASSERT_EQ(orv::renderLas(las.c_str(), o, image, error), 0) << error;
    for (unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(threads);
        const std::string png = dir.path("t" + std::to_string(threads) + ".png");
        orv::writePng(png.c_str(), image, threads);
        int w = 0, h = 0;
        EXPECT_EQ(decodePng(png, w, h), image.rgb);
    }
}

}  // namespace
