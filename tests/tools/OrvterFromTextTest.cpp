// las from-text: the scale and format the text asks for, and a malformed line named by number.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "support/TestSupport.h"

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

struct Outcome {
    int status;
    std::string out;  // standard output and error
};

Outcome fromText(const orvtest::TempDir& dir, const std::string& text, const std::string& fields,
                 const std::string& more = "") {
    orvtest::writeFile(dir.path("in.txt"), {text.begin(), text.end()});
    const auto r = runCommand(shellQuote(ORVTER_PATH) + " las from-text --json " + more + " " +
                              shellQuote(dir.path("in.txt")) + " " +
                              shellQuote(dir.path("out.las")) + " --fields " + fields + " 2>&1");
    return {r.status, r.out};
}

TEST(OrvterFromText, ScaleFollowsTheDigitsAndFormatTheFieldsAndValues) {
    orvtest::TempDir dir;
    const struct {
        const char* text;
        const char* fields;
        std::vector<double> scale;
        int format;
    } cases[] = {
        {"# a comment\n1.5,2.25,3\n\n-1.125,2,3.5\r\n", "x,y,z", {0.001, 0.01, 0.1}, 0},
        {"x y z gps_time\n10 20 30 5.5\n", "x,y,z,gps_time", {1, 1, 1}, 1},
        {"1 2 3 4 5 6\n", "x,y,z,red,green,blue", {1, 1, 1}, 2},
        {"1 2 3 9\n", "x,y,z,return_number", {1, 1, 1}, 6},           // a 4-bit return
        {"1 2 3 40 0\n", "x,y,z,classification,skip", {1, 1, 1}, 6},  // class above 31
        {"1 2 3 9.306 7\n", "x,y,z,scan_angle,gps_time", {1, 1, 1}, 6},
        {"1 2 3 1 1\n", "x,y,z,nir,gps_time", {1, 1, 1}, 8},
        {"1.5e-3 2E2 +3\n", "x,y,z", {1e-4, 1, 1}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Outcome o = fromText(dir, c.text, c.fields);
        ASSERT_EQ(o.status, 0) << o.out;
        const auto j = nlohmann::json::parse(o.out);
        EXPECT_EQ(j["point_format"], c.format);
        EXPECT_EQ(j["scale"], nlohmann::json(c.scale));
    }
}

TEST(OrvterFromText, RefusesAMalformedLineByItsNumber) {
    orvtest::TempDir dir;
    const struct {
        const char* text;
        const char* fields;
        int status;
        const char* message;
    } cases[] = {
        {"1,2,3\n4,5\n", "x,y,z", 1, "line 2 has 2 values where 3 fields are named (x,y,z)"},
        {"1,2,3\n# note\n1,2,abc\n", "x,y,z", 1, "line 3 has z 'abc', not a finite number"},
        {"1,2,nan\n", "x,y,z", 1, "line 1 has z 'nan', not a finite number"},
        {"1,2,3,70000\n", "x,y,z,intensity", 1,
         "line 1 has intensity '70000', beyond its largest value 65535"},
        {"1,2,3,-1\n", "x,y,z,classification", 1,
         "line 1 has classification '-1', not a whole number"},
        {"1,2,3,1.5\n", "x,y,z,intensity", 1, "line 1 has intensity '1.5', not a whole number"},
        {"1,2,3\n", "x,y", 2, "the fields must name x, y and z"},
        {"1,2,3\n", "x,y,z,bogus", 2, "unknown field 'bogus'"},
        {"1,2,3\n", "X,Y,Z", 2, "give x, y and z"},
        {"3e12,1,1\n-3e12,1,1\n", "x,y,z", 1, "x values span more than 32-bit integers hold"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Outcome o = fromText(dir, c.text, c.fields);
        EXPECT_EQ(o.status, c.status) << o.out;
        EXPECT_NE(o.out.find(c.message), std::string::npos) << o.out;
    }
    // More digits than 32-bit integers hold over the range: as many as fit, and a warning.
    const Outcome fine = fromText(dir, "0.123456789,0,0\n1000.5,0,0\n", "x,y,z");
    ASSERT_EQ(fine.status, 0) << fine.out;
    EXPECT_NE(fine.out.find("x has 9 digits after the point, of which 6 fit"), std::string::npos)
        << fine.out;
}

}  // namespace
