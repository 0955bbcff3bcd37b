#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using orvtest::readFile;
using orvtest::readText;
using orvtest::runCommand;
using orvtest::shellQuote;
using orvtest::writeText;

std::string orvter(const std::string& args) {
    return shellQuote(ORVTER_PATH) + " " + args + " 2>&1";
}

class OrvterPipeline : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(runCommand(orvter("las gen " + q("in.las") + " --points 30000 --seed 7")).status,
                  0);
    }
    std::string q(const std::string& name) const { return shellQuote(m_dir.path(name)); }
    std::string path(const std::string& name) const { return m_dir.path(name); }
    // Runs the stages (JSON after the reader) on in.las into `out`.
    orvtest::CommandResult pipeline(const std::string& stages) {
        writeText(path("p.json"), "[\"" + path("in.las") + "\"" + stages + "]");
        return runCommand(orvter("pipeline --quiet " + q("p.json")));
    }
    orvtest::TempDir m_dir;
};

// Every filter and conversion of las copy, and the same stages written as a pipeline.
TEST_F(OrvterPipeline, WritesWhatLasCopyWritesByteForByte) {
    const std::string w = R"(,{"type":"writers.las","filename":")";
    const struct {
        std::string copy, stages;
    } cases[] = {
        {"", ",\"@\""},
        {"--keep-class 2,6", R"(,{"type":"filters.range","limits":"Classification[2:2],Classification[6:6]"},"@")"},
        {"--keep-return 1,2", R"(,{"type":"filters.range","limits":"ReturnNumber[1:2]"},"@")"},
        {"--bbox 512000,4180000,512500,4180500",
         R"j(,{"type":"filters.crop","bounds":"([512000,512500],[4180000,4180500])"},"@")j"},
        {"--step 3", R"(,{"type":"filters.decimation","step":3},"@")"},
        {"--keep-z 80 120", R"(,{"type":"filters.range","limits":"Z[80:120]"},"@")"},
        {"--keep-intensity 100 900", R"(,{"type":"filters.range","limits":"Intensity[100:900]"},"@")"},
        {"--keep-first", R"(,{"type":"filters.range","limits":"ReturnNumber[1:1]"},"@")"},
        {"--keep-single", R"(,{"type":"filters.range","limits":"NumberOfReturns[1:1]"},"@")"},
        {"--keep-last", R"(,{"type":"filters.returns","groups":"last,only"},"@")"},
        {"--format 7", w + R"(@","dataformat_id":7})"},
        {"--set-version 1.4", w + R"(@","minor_version":4})"},
        {"--scale 0.01", w + R"(@","scale_x":0.01,"scale_y":0.01,"scale_z":0.01})"},
        {"--offset 512000,4180000,1", w + R"(@","offset_x":512000,"offset_y":4180000,"offset_z":1})"},
        {"--keep-class 2 --format 6 --set-version 1.4",
         R"(,{"type":"filters.range","limits":"Classification[2:2]"})" + w +
             R"(@","dataformat_id":6,"minor_version":4})"},
        {"--laz", w + R"(@","compression":"laszip"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.copy);
        const std::string laz = c.copy == "--laz" ? ".laz" : ".las";
        const auto copy = runCommand(
            orvter("las copy --quiet " + q("in.las") + " " + q("copy" + laz) + " " + c.copy));
        ASSERT_EQ(copy.status, 0) << copy.out;
        std::string stages = c.stages;
        stages.replace(stages.find('@'), 1, path("piped" + laz));
        const auto piped = pipeline(stages);
        ASSERT_EQ(piped.status, 0) << piped.out;
        EXPECT_EQ(readFile(path("copy" + laz)), readFile(path("piped" + laz)));
    }
}

// Pipelines in the shapes other tools document, with only the stages there are here.
TEST_F(OrvterPipeline, RunsPipelinesWrittenForOtherTools) {
    const std::string in = "\"" + path("in.las") + "\"", out = "\"" + path("out.las") + "\"";
    const std::string cases[] = {
        "[" + in + "," + out + "]",
        "{\"pipeline\":[" + in +
            ",{\"type\":\"filters.range\",\"limits\":\"Classification[2:2]\"}," + out + "]}",
        "[{\"type\":\"readers.las\",\"filename\":" + in +
            "},{\"type\":\"writers.las\",\"filename\":" + out + ",\"compression\":\"laszip\"}]",
        "[" + in + ",{\"type\":\"filters.range\",\"limits\":\"Z[:100],Classification![7:7]\"}," +
            out + "]",
        "[" + in + ",{\"type\":\"filters.returns\",\"groups\":\"first,only\"}," + out + "]",
        "[" + in + ",{\"type\":\"filters.decimation\",\"step\":10,\"offset\":1}," + out + "]",
        "[" + in + ",{\"type\":\"filters.voxeldownsize\",\"cell\":5,\"mode\":\"first\"}," + out +
            "]",
        "[" + in + ",{\"type\":\"filters.voxeldownsize\",\"cell\":5}," + out + "]",
        "[" + in + ",{\"type\":\"filters.sample\",\"radius\":2}," + out + "]",
        "[" + in + "," + in + ",{\"type\":\"filters.merge\"}," + out + "]",
        "[" + in + ",{\"type\":\"writers.text\",\"filename\":\"" + path("o.csv") +
            "\",\"order\":\"X,Y,Z,Classification\",\"keep_unspecified\":false}]",
        "[" + in + ",{\"type\":\"writers.las\",\"filename\":" + out +
            ",\"minor_version\":4,\"dataformat_id\":6,\"forward\":\"all\"}]",
    };
    for (const std::string& json : cases) {
        SCOPED_TRACE(json);
        writeText(path("p.json"), json);
        const auto r = runCommand(orvter("pipeline --quiet --json " + q("p.json")));
        EXPECT_EQ(r.status, 0) << r.out;
    }
    EXPECT_EQ(readText(path("o.csv")).rfind("\"X\",\"Y\",\"Z\",\"Classification\"\n", 0), 0u);
}

// What cannot run is refused before anything is written, naming the stage.
TEST_F(OrvterPipeline, RefusesUnknownStagesOptionsAndMisfitsByPosition) {
    const std::string in = "\"" + path("in.las") + "\"", out = "\"" + path("out.las") + "\"";
    const struct {
        std::string json;
        int status;
        std::string says;
    } cases[] = {
        {"[" + in + ",{\"type\":\"filters.smrf\"}," + out + "]", 2,
         "stage 2: no stage filters.smrf"},
        {"[" + in +
             ",{\"type\":\"filters.range\",\"limits\":\"Classification[2:2]\",\"bogus\":1}," + out +
             "]",
         2, "has no option 'bogus'"},
        {"[" + in + ",{\"type\":\"filters.range\",\"limits\":\"Red[0:10]\"}," + out + "]", 2,
         "stage 2 (filters.range): point format 0 has no Red"},
        {"[" + in + ",{\"type\":\"filters.range\",\"limits\":\"Nothing[0:1]\"}," + out + "]", 2,
         "no dimension 'Nothing'"},
        {"[" + in + ",{\"type\":\"filters.crop\",\"bounds\":\"1,2,3,4\"}," + out + "]", 2,
         "are not ([xmin, xmax]"},
        {"[" + in + ",\"" + path("out.unknown") + "\"]", 2, "no writer for that name"},
        {"[" + in + ",{\"type\":\"writers.las\",\"filename\":" + out +
             ",\"dataformat_id\":6,\"minor_version\":2}]",
         2, "needs LAS 1.4"},
        {"[\"" + path("missing.las") + "\"," + out + "]", 1, "stage 1 (readers.las): cannot read"},
        {"{\"stages\":[]}", 2, "a list of stages"},
        {"[", 2, "not JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        writeText(path("p.json"), c.json);
        const auto r = runCommand(orvter("pipeline --quiet " + q("p.json")));
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        EXPECT_TRUE(readFile(path("out.las")).empty()) << "nothing is written";
    }
}

// The output's kind follows its name: text as to-text writes it, or a refusal.
TEST_F(OrvterPipeline, CopyWritesTheKindItsOutputIsNamed) {
    ASSERT_EQ(runCommand(orvter("las to-text " + q("in.las") + " " + q("t.txt"))).status, 0);
    ASSERT_EQ(runCommand(orvter("las copy --quiet " + q("in.las") + " " + q("c.txt"))).status, 0);
    EXPECT_EQ(readText(path("t.txt")), readText(path("c.txt")));
    const auto refused = runCommand(orvter("las copy " + q("in.las") + " " + q("c.bin")));
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.out.find(".copc.laz"), std::string::npos) << refused.out;
    EXPECT_EQ(runCommand(orvter("las copy --quiet --writer las " + q("in.las") + " " + q("c.bin")))
                  .status,
              0);
    EXPECT_EQ(readFile(path("c.bin")), readFile(path("in.las")));
    ASSERT_EQ(
        runCommand(orvter("las copy --quiet --keep-class 2 " + q("in.las") + " " + q("c.png")))
            .status,
        0);
    const std::vector<uint8_t> png = readFile(path("c.png"));
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png[1], 'P');
}

}  // namespace
