#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "OrvProgress.h"
#include "progress/ConsoleProgress.h"
#include "support/TestSupport.h"

namespace {

using orv::CConsoleProgess;
using orv::OrvPtr;

// Owns a console reporter; `printed` captures what one action writes to standard output, so
// that the test's own failure messages are never swallowed.
class ConsoleProgressTest : public orvtest::CountedTest {
protected:
    void SetUp() override {
        CountedTest::SetUp();
        m_progress = static_cast<CConsoleProgess*>(newConsoleProgress());
        ASSERT_TRUE(m_progress);
    }
    void TearDown() override {
        finish();
        CountedTest::TearDown();
    }
    template <class Action>
    std::string printed(Action action) {
        testing::internal::CaptureStdout();
        action(*m_progress);
        return testing::internal::GetCapturedStdout();
    }
    // Releases the reporter and returns what its release printed.
    std::string finish() {
        testing::internal::CaptureStdout();
        m_progress = nullptr;
        return testing::internal::GetCapturedStdout();
    }
    CConsoleProgess& progress() { return *m_progress; }

private:
    OrvPtr<CConsoleProgess> m_progress;
};

TEST_F(ConsoleProgressTest, PrintsOnceForEachRiseOfTheWholePercentage) {
    EXPECT_EQ(printed([](auto& p) { p.step(0.004), p.step(0.004); }), "");
    EXPECT_EQ(printed([](auto& p) { p.step(0.004); }), "\r 1%\t");
    EXPECT_EQ(printed([](auto& p) { p.step(0.5); }), "\r 51%\t") << "one line for many percents";
    EXPECT_EQ(printed([](auto& p) { p.step(0.0), p.step(-0.2); }), "");
}

TEST_F(ConsoleProgressTest, TextFollowsTheTab) {
    EXPECT_EQ(printed([](auto& p) { p.setText("reading tiles"); }), "\r 0%\treading tiles");
    EXPECT_EQ(printed([](auto& p) { p.step(0.25); }), "\r 25%\treading tiles");
    EXPECT_EQ(printed([](auto& p) { p.setText(""); }), "\r 25%\t");
    EXPECT_EQ(printed([](auto& p) { p.setText(nullptr); }), "\r 25%\t") << "null shows as empty";
}

TEST_F(ConsoleProgressTest, SubRangesScaleTheirSteps) {
    printed([](auto& p) { p.pushRange(0.5), p.step(1.0), p.popRange(); });
    EXPECT_DOUBLE_EQ(progress().done(), 0.5);
    EXPECT_EQ(printed([](auto& p) { p.pushRange(0.5), p.popRange(); }), "");
    EXPECT_DOUBLE_EQ(progress().done(), 0.5) << "an unstepped range adds nothing";
    printed([](auto& p) { p.step(0.5); });
    EXPECT_DOUBLE_EQ(progress().done(), 1.0);
    EXPECT_EQ(progress().percent(), 100);
}

TEST_F(ConsoleProgressTest, FigureStaysAtHundredWhenStepsOvershoot) {
    EXPECT_EQ(printed([](auto& p) { p.step(0.75), p.step(0.75); }), "\r 75%\t\r 100%\t");
    EXPECT_GT(progress().done(), 1.0);
    EXPECT_EQ(finish(), "") << "a completed reporter prints nothing on release";
}

TEST_F(ConsoleProgressTest, ReleaseCompletesTheLine) {
    printed([](auto& p) { p.setText("t"), p.step(0.375); });
    EXPECT_EQ(finish(), "\r 100%\tt");
}

TEST_F(ConsoleProgressTest, RisesAreSummedSoNegativeStepsCountTwice) {
    EXPECT_EQ(printed([](auto& p) { p.step(0.25), p.step(-0.125), p.step(0.125); }),
              "\r 25%\t\r 38%\t");
}

TEST_F(ConsoleProgressTest, UnbalancedRangesAreIgnored) {
    progress().popRange();  // nothing open
    EXPECT_EQ(progress().depth(), 1);
    for (int i = 0; i < 5000; ++i) progress().pushRange(0.999);
    EXPECT_EQ(progress().depth(), kProgressStackDepth);
    for (int i = 0; i < 5000; ++i) progress().popRange();
    EXPECT_EQ(progress().depth(), 1);
    printed([](auto& p) { p.step(0.5); });
    EXPECT_DOUBLE_EQ(progress().done(), 0.5);
}

TEST_F(ConsoleProgressTest, ExtremeStepsNeitherOverflowNorCrash) {
    printed([](auto& p) {
        p.step(std::numeric_limits<double>::quiet_NaN());
        p.step(1e300);
        p.step(-1e300);
        p.step(std::numeric_limits<double>::infinity());
    });
    EXPECT_LE(progress().percent(), 100);
}

TEST_F(ConsoleProgressTest, QueriesGiveFixedAnswers) {
    EXPECT_EQ(progress().queryValue(0), -1);
    EXPECT_EQ(progress().queryValue(-7), -1);
    EXPECT_FALSE(progress().queryFlag());
}

class ConsoleProgressStreamTest : public orvtest::CountedTest {};

TEST_F(ConsoleProgressStreamTest, AStreamOfTheCallersGetsTheSameBytesAndStdoutNone) {
    std::FILE* file = std::tmpfile();
    ASSERT_TRUE(file);
    testing::internal::CaptureStdout();
    {
        OrvPtr<IOrvProgress> p(newConsoleProgress(file));
        ASSERT_TRUE(p);
        p->setText("copying");
        p->step(0.25);
    }  // released: completes the line to 100
    const std::string onStdout = testing::internal::GetCapturedStdout();
    EXPECT_EQ(onStdout, "");
    std::rewind(file);
    std::string onFile;
    for (int c; (c = std::fgetc(file)) != EOF;) onFile += static_cast<char>(c);
    std::fclose(file);
    EXPECT_EQ(onFile, "\r 0%\tcopying\r 25%\tcopying\r 100%\tcopying");
}

}  // namespace
