// Helpers shared by the tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "OrvBasic.h"

namespace orvtest {

// Fails the test that leaves a counted object alive: every test that uses counted objects
// derives from it.
class CountedTest : public ::testing::Test {
protected:
    void SetUp() override { m_liveAtStart = orv::OrvReferenced::liveObjects(); }
    void TearDown() override {
        EXPECT_EQ(orv::OrvReferenced::liveObjects(), m_liveAtStart) << "a counted object leaked";
    }

private:
    long m_liveAtStart = 0;
};

// A fresh folder for one test, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readFile(const std::string& path);
// The same for text, byte for byte.
void writeText(const std::string& path, const std::string& text);
std::string readText(const std::string& path);

// The samples: $ORV_TESTDATA_DIR when it is set when the tests run, else the folder configured
// at build time (the clone's own tests/data by default) when it is there, else the clone's own
// tests/data.
std::string testDataDir();
// Whether a regular file is at `path` (the clone's samples lack a few large twins).
bool isFile(const std::string& path);
// Folder of the shared LAS samples, or "" when it is not there.
std::string lasDataDir();

// Runs a shell command; returns its exit status and what it wrote to standard output.
struct CommandResult {
    int status = -1;
    std::string out;
};
CommandResult runCommand(const std::string& command);
// Quotes a path for the shell.
std::string shellQuote(const std::string& text);
// The shell command that runs orvter with `args` (already quoted as the shell needs).
std::string orvterCommand(const std::string& args);

// Runs `work` where file permissions bind: here when this process is not the superuser, else in
// a child that has become the user nobody, the folders `give` (and their files) handed to it
// first. Returns what `work` returned ("" when all went well), or kNoUnprivilegedUser.
extern const char* const kNoUnprivilegedUser;
std::string runUnprivileged(const std::vector<std::string>& give,
                            const std::function<std::string()>& work);

}  // namespace orvtest
