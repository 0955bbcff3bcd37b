// The README's code: every C++ block is a file of examples/snippets, word for word, and each of
// those programs runs against the library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using orvtest::runCommand;
using orvtest::shellQuote;

const std::vector<std::string> kSnippets = {"read_whole", "stream_origin", "write_back",
                                            "xml_value", "read_fields"};

std::string text(const std::string& path) {
    const auto bytes = orvtest::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

size_t count(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

TEST(Readme, EveryCodeBlockIsASnippetWordForWord) {
    const std::string readme = text(ORV_SOURCE_DIR "/README.md");
    ASSERT_FALSE(readme.empty());
    EXPECT_EQ(readme.rfind("# OrvTerDep\n", 0), 0u);
    EXPECT_NE(readme.find("\nbash scripts/demo.sh "), std::string::npos) << "first command";
    EXPECT_LT(readme.find("bash scripts/demo.sh"), readme.find("bash scripts/test.sh"));
    EXPECT_EQ(count(readme, "```cpp\n"), kSnippets.size()) << "a C++ block that no test compiles";
    for (const auto& name : kSnippets) {
        const std::string path = "examples/snippets/" + name + ".cpp";
        const std::string opening = "<!-- " + path + " -->\n```cpp\n";
        const size_t start = readme.find(opening);
        ASSERT_NE(start, std::string::npos) << path << " is not in the README";
        const size_t body = start + opening.size();
        const size_t end = readme.find("```\n", body);
        ASSERT_NE(end, std::string::npos) << path;
        EXPECT_EQ(readme.substr(body, end - body), text(ORV_SOURCE_DIR "/" + path))
            << "the README's copy of " << path << " differs from the file";
    }
}

TEST(Readme, SnippetsRunOnACloudAndADocument) {
    orvtest::TempDir dir;
    const std::string cloud = dir.path("cloud.las"), thinned = dir.path("thinned.las");
    ASSERT_EQ(
        runCommand(shellQuote(ORVTER_PATH) + " las gen --quiet --points 25000 " + shellQuote(cloud))
            .status,
        0);
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<project><survey><crs unit=\"m\">EPSG:25832</crs></survey>"
        "</project>\n";
    orvtest::writeFile(dir.path("project.xml"), {xml.begin(), xml.end()});

    const struct {
        std::string snippet, args, expected;
    } cases[] = {
        {"read_whole", shellQuote(cloud), "25000 points\n"},
        {"stream_origin", shellQuote(cloud), "read 25000 points, highest "},
        {"write_back", shellQuote(cloud) + " " + shellQuote(thinned),
         "kept 1 point in 10 of 25000"},
        {"xml_value", shellQuote(dir.path("project.xml")) + " /project/crs unit",
         "text: EPSG:25832\nunit: m\n"},
        {"read_fields", shellQuote(cloud), "25000 points of format 0, 0 VLRs\n"},
    };
    for (const auto& c : cases) {
        const auto r =
            runCommand(shellQuote(ORV_SNIPPET_DIR "/snippet_" + c.snippet) + " " + c.args);
        EXPECT_EQ(r.status, 0) << c.snippet << ":\n" << r.out;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.snippet << ":\n" << r.out;
    }
    const auto thin =
        runCommand(shellQuote(ORVTER_PATH) + " las info --json " + shellQuote(thinned));
    EXPECT_NE(thin.out.find("\"point_count\": 2500"), std::string::npos) << thin.out;
}

}  // namespace
