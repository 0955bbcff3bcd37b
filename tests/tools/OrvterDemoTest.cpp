// orvter demo, the README's main job, on a small cloud.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "OrvLasFormat.h"
#include "OrvXmlPack.h"
#include "support/TestSupport.h"

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

class OrvterDemo : public orvtest::CountedTest {};

uint32_t pointsIn(const std::string& path) {
    const auto bytes = orvtest::readFile(path);
    LasHeader h;
    if (bytes.size() < sizeof h || std::memcmp(bytes.data(), "LASF", 4) != 0) return UINT32_MAX;
    std::memcpy(&h, bytes.data(), sizeof h);
    return h.numberOfPointRecords;
}

TEST_F(OrvterDemo, KeepsItsFilesAndReportsEveryStep) {
    orvtest::TempDir dir;
    const std::string out = dir.path("made/by/demo");  // folders made when missing
    const auto r =
        runCommand(shellQuote(ORVTER_PATH) + " demo --points 25000 --out " + shellQuote(out));
    ASSERT_EQ(r.status, 0) << r.out;

    const struct {
        const char* file;
        uint32_t points;
    } files[] = {{"cloud.las", 25000}, {"copy.las", 25000}, {"thinned.las", 2500}};
    for (const auto& f : files) EXPECT_EQ(pointsIn(out + "/" + f.file), f.points) << f.file;

    // The report names each step's file and count, and carries bounds and times.
    orv::OrvPtr<IOrvXmlPack> report(newOrvXmlPack());
    ASSERT_EQ(report->loadFile(out + "/report.xml"), 0);
    ASSERT_EQ(report->findElem("/DemoReport")->getTagName(), "DemoReport");
    const char* names[] = {"generate", "copy", "thin"};
    IOrvXmlElem* step = report->findElem("/Step", "name", "generate");
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(step) << names[i];
        EXPECT_EQ(report->getAttr(step, "name"), names[i]);
        EXPECT_FALSE(report->getAttr(step, "seconds").empty());
        report->setCurrent(step);
        EXPECT_EQ(report->getText("File"), files[i].file);
        EXPECT_EQ(report->getText("Points"), std::to_string(files[i].points));
        const double minX = std::stod(report->getAttr("Min", "x"));
        const double maxX = std::stod(report->getAttr("Max", "x"));
        EXPECT_GE(minX, 512000.0) << names[i];
        EXPECT_LE(maxX, 513000.0) << names[i];
        EXPECT_GT(maxX - minX, 900.0) << names[i];
        step = report->nextSibling(true);
    }
    EXPECT_FALSE(step) << "three steps, no more";

    // The printout: the cloud's info, the report, and one closing line a step.
    for (const char* expected :
         {"number of points:  25000", "<DemoReport", "\ngenerate  cloud.las",
          "\ncopy      copy.las", "\nthin      thinned.las", "\nreport    report.xml"})
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << " in\n" << r.out;
    if (runCommand("command -v xmllint >/dev/null").status == 0) {
        EXPECT_EQ(runCommand("xmllint --noout " + shellQuote(out + "/report.xml")).status, 0);
    }
}

TEST_F(OrvterDemo, ATemporaryFolderIsRemovedAtTheEnd) {
    const auto r = runCommand(shellQuote(ORVTER_PATH) + " demo --quiet --points 1000");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string marker = "(worked in ";
    const size_t at = r.out.find(marker);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string folder =
        r.out.substr(at + marker.size(), r.out.find(',', at) - at - marker.size());
    EXPECT_NE(runCommand("test -e " + shellQuote(folder)).status, 0) << folder << " left behind";
}

}  // namespace
