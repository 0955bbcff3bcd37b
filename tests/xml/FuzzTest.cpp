// Mutated documents: whatever the bytes, the parser answers 0 or -1 and frees what it built.
#include <gtest/gtest.h>

#include <random>

#include "tests/xml/XmlTestSupport.h"

namespace {

class FuzzTest : public orvtest::CountedTest {};

std::string seedText(const std::string& file) {
    const auto bytes = orvtest::readFile(orvtest::xmlDataDir() + "/" + file);
    return std::string(bytes.begin(), bytes.end());
}

std::string mutate(std::string text, std::mt19937& rng) {
    static const char kMarkup[] = "<>/=\"' \t\r\n?!a\0";
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < edits && !text.empty(); ++i) {
        const size_t at = rng() % text.size();
        switch (rng() % 5) {
            case 0:
                text[at] = kMarkup[rng() % (sizeof kMarkup - 1)];
                break;
            case 1:
                text.erase(at, 1 + rng() % 16);
                break;
            case 2:
                text.insert(at, 1, kMarkup[rng() % (sizeof kMarkup - 1)]);
                break;
            case 3:
                text.insert(at, text.substr(rng() % text.size(), rng() % 64));
                break;
            default:
                text.resize(at);
                break;
        }
    }
    return text;
}

}  // namespace

TEST_F(FuzzTest, MutatedDocumentsNeverCrash) {
    const bool shared = !orvtest::xmlDataDir().empty();
    const std::string fallback = "<?xml version=\"1.0\"?>\r\n<r>\r\n<a x='1' y=\"2\">t<b/></a></r>";
    const std::string seeds[] = {
        shared ? seedText("project.xml") : fallback, shared ? seedText("metadata.xml") : fallback,
        shared ? seedText("gb2312.xml") : fallback, "<r><a x='1'>t<b/></a></r>"};
    std::mt19937 rng(4242);
    int accepted = 0;
    const std::string printed = orvtest::captureStdout([&] {
        for (int i = 0; i < 4000; ++i) {
            const std::string text = mutate(seeds[i % 4], rng);
            auto doc = orvtest::newDocument();
            const int r = doc->loadString(text, static_cast<int>(text.size()));
            ASSERT_TRUE(r == 0 || r == -1);
            if (r == 0) {
                ++accepted;
                doc->buildText(nullptr);
                auto again = orvtest::newDocument();
                again->loadString(doc->getString(), 0);
            }
        }
    });
    EXPECT_GT(accepted, 100);
    EXPECT_LT(accepted, 4000);
    // Every printed line is one of the parser's messages.
    size_t start = 0;
    while (start < printed.size()) {
        const size_t end = printed.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = printed.substr(start, end - start);
        EXPECT_TRUE(line.rfind("ERROR: ", 0) == 0 || line.rfind("Error: ", 0) == 0) << line;
        start = end + 1;
    }
}
