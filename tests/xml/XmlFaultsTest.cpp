// A system call failing at any step of saving or loading a document: -1, the file that was
// there before stays byte for byte, and nothing leaks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/FaultSweep.h"
#include "tests/xml/XmlTestSupport.h"

namespace {

using orvtest::FaultOperation;
using orvtest::folderEntries;
using orvtest::openDescriptors;
using orvtest::sweepFaults;

class XmlFaults : public orvtest::CountedTest {
protected:
    // A composed document of a few kilobytes.
    orv::OrvPtr<IOrvXmlDoc> composed() {
        orv::OrvPtr<IOrvXmlDoc> doc = newOrvXmlDoc();
        IOrvXmlElem* root = doc->getRoot();
        root->setTagName("Project");
        for (int i = 0; i < 100; ++i)
            root->addChild("Cloud", "tile-" + std::to_string(i))->setAttr("n", std::to_string(i));
        doc->buildString(root);
        return doc;
    }

    orvtest::TempDir dir;
};

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST_F(XmlFaults, AFailedSaveAtAnyStepKeepsTheTarget) {
    orv::OrvPtr<IOrvXmlDoc> doc = composed();
    const std::string text = doc->getString();
    const std::string target = dir.path("project.xml");
    // A document is written in one pass: no seek.
    orvtest::sweepReplaceFaults(target,
                                {FaultOperation::Stat, FaultOperation::Open, FaultOperation::Write,
                                 FaultOperation::Close, FaultOperation::Rename},
                                EIO, [&](uint64_t n) {
                                    const int result = doc->saveFile(target.c_str());
                                    if (n == 0) {
                                        EXPECT_EQ(orvtest::readFile(target), bytesOf(text));
                                    }
                                    return result != 0;
                                });
    // A full device: -1, written in place, still the device.
    struct stat st;
    if (stat("/dev/full", &st) == 0) {
        EXPECT_EQ(doc->saveFile("/dev/full"), -1);
        ASSERT_EQ(stat("/dev/full", &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/full was replaced";
    }
}

TEST_F(XmlFaults, AFailedLoadAtAnyStepIsARefusal) {
    const std::string path = dir.path("project.xml");
    ASSERT_EQ(composed()->saveFile(path.c_str()), 0);
    const auto descriptors = openDescriptors();
    for (FaultOperation operation : {FaultOperation::Open, FaultOperation::Stat,
                                     FaultOperation::Read, FaultOperation::Close}) {
        const uint64_t calls = sweepFaults(operation, EIO, [&](uint64_t n) {
            orv::OrvPtr<IOrvXmlDoc> doc = newOrvXmlDoc();
            int result = 0;
            const std::string printed =
                orvtest::captureStdout([&] { result = doc->loadFile(path); });
            // Reading is done when the descriptor closes: a failed close loses nothing.
            const bool fails = n != 0 && operation != FaultOperation::Close;
            EXPECT_EQ(result, fails ? -1 : 0);
            EXPECT_EQ(doc->getRoot()->getChildCount(), fails ? 0 : 100);
            EXPECT_EQ(printed, "");  // nothing was parsed: no parser message
            EXPECT_EQ(openDescriptors(), descriptors);
        });
        EXPECT_GT(calls, 0u) << orv::platform::testing::operationName(operation);
    }
}

}  // namespace
