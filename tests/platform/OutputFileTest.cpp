#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "OrvError.h"
#include "platform/FaultInjection.h"
#include "platform/Files.h"
#include "support/FaultSweep.h"
#include "support/TestSupport.h"

namespace {

using orv::platform::OutputFile;
using orvtest::FaultOperation;
using orvtest::folderEntries;

std::vector<uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

void put(OutputFile& file, const std::string& text) {
    file.write(text.data(), text.size());
}

int errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const orv::FileError& e) {
        return e.errorCode();
    }
    return 0;
}

// Unnamed while written, so a killed writer leaves nothing; a file system without unnamed
// files (refused here by the fault switch) gets a named temporary beside the target.
TEST(OutputFile, ReplacesTheTargetOnlyWhenClosed) {
    for (bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed file" : "named temporary");
        orv::platform::testing::Scope faults;
        if (!unnamed)
            orv::platform::testing::failNth(FaultOperation::Open, 2,
                                            EOPNOTSUPP);  // after the target's probe
        orvtest::TempDir dir;
        const std::string target = dir.path("cloud.las");
        orvtest::writeFile(target, bytesOf("previous file"));
        {
            OutputFile file;
            file.create(target.c_str());
            put(file, "xxxx body");
            file.seekToStart();
            put(file, "head");
            EXPECT_EQ(orvtest::readFile(target), bytesOf("previous file")) << "written in place";
            EXPECT_EQ(folderEntries(dir.path("")).size(), unnamed ? 1u : 2u);
            file.close();
            EXPECT_FALSE(file.isOpen());
            file.close();  // twice is harmless
        }
        EXPECT_EQ(orvtest::readFile(target), bytesOf("head body"));
        EXPECT_EQ(folderEntries(dir.path("")), std::set<std::string>{"cloud.las"});
    }
}

TEST(OutputFile, AKilledWriterLeavesNothingBehind) {
    orvtest::TempDir dir;
    const std::string target = dir.path("cloud.las");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        OutputFile file;
        file.create(target.c_str());
        file.reserve(1 << 20);
        put(file, "half a file");
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(folderEntries(dir.path("")).empty());
}

TEST(OutputFile, AFileNeverClosedLeavesTheTargetAsItWas) {
    for (bool existed : {true, false}) {
        SCOPED_TRACE(existed ? "target existed" : "new target");
        orvtest::TempDir dir;
        const std::string target = dir.path("cloud.las");
        if (existed) orvtest::writeFile(target, bytesOf("previous file"));
        {
            OutputFile file;
            file.create(target.c_str());
            put(file, "half a file");
        }
        {
            OutputFile file;  // discarded by hand, then reused for another target
            file.create(target.c_str());
            put(file, "half a file");
            file.discard();
            EXPECT_FALSE(file.isOpen());
            EXPECT_NO_THROW(file.close());
        }
        {
            OutputFile file;  // a second create abandons the first file
            file.create(target.c_str());
            put(file, "half a file");
            file.create(dir.path("other.las").c_str());
            file.close();
        }
        std::set<std::string> expected{"other.las"};
        if (existed) {
            expected.insert("cloud.las");
            EXPECT_EQ(orvtest::readFile(target), bytesOf("previous file"));
        }
        EXPECT_EQ(folderEntries(dir.path("")), expected);
    }
}

TEST(OutputFile, KeepsTheTargetsPermissionsAndGivesNewFilesTheUsualOnes) {
    orvtest::TempDir dir;
    const std::string existing = dir.path("old.las");
    orvtest::writeFile(existing, bytesOf("old"));
    ASSERT_EQ(chmod(existing.c_str(), 0640), 0);
    const mode_t mask = umask(0027);
    for (const std::string& path : {existing, dir.path("new.las")}) {
        OutputFile file;
        file.create(path.c_str());
        put(file, "new");
        file.close();
    }
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(existing.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(stat(dir.path("new.las").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u & ~0027u);
}

TEST(OutputFile, WritesThroughALinkToTheFileItNames) {
    orvtest::TempDir dir;
    orvtest::writeFile(dir.path("real.las"), bytesOf("old"));
    ASSERT_EQ(symlink("real.las", dir.path("link.las").c_str()), 0);
    OutputFile file;
    file.create(dir.path("link.las").c_str());
    put(file, "new");
    file.close();
    struct stat st;
    ASSERT_EQ(lstat(dir.path("link.las").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file";
    EXPECT_EQ(orvtest::readFile(dir.path("real.las")), bytesOf("new"));
}

TEST(OutputFile, RefusesWhatCannotBeCreated) {
    orvtest::TempDir dir;
    const struct {
        std::string path;
        int error;
    } cases[] = {
        {dir.path(""), EISDIR},
        {dir.path("no-such-folder/cloud.las"), ENOENT},
        {"", ENOENT},
    };
    for (const auto& c : cases) {
        OutputFile file;
        EXPECT_EQ(errorOf([&] { file.create(c.path.c_str()); }), c.error) << c.path;
        EXPECT_FALSE(file.isOpen());
        EXPECT_EQ(errorOf([&] { put(file, "x"); }), EBADF) << c.path;
    }
    OutputFile file;
    EXPECT_EQ(errorOf([&] { file.create(nullptr); }), EINVAL);
    EXPECT_EQ(folderEntries(dir.path("")), std::set<std::string>{});
}

TEST(OutputFile, WritesDevicesInPlaceAndNeverReplacesThem) {
    struct stat before;
    ASSERT_EQ(stat("/dev/null", &before), 0);
    {
        OutputFile file;
        file.create("/dev/null");
        put(file, "gone");
        file.seekToStart();
        put(file, "gone");
        file.close();
    }
    struct stat after;
    ASSERT_EQ(stat("/dev/null", &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode));
    EXPECT_EQ(after.st_rdev, before.st_rdev);

    if (stat("/dev/full", &before) != 0) GTEST_SKIP() << "no /dev/full";
    const auto descriptors = orvtest::openDescriptors();
    {
        OutputFile file;
        file.create("/dev/full");
        EXPECT_EQ(errorOf([&] { put(file, "no room"); }), ENOSPC);
        EXPECT_FALSE(file.isOpen());
        EXPECT_EQ(errorOf([&] { put(file, "more"); }), ENOSPC);
        EXPECT_EQ(errorOf([&] { file.close(); }), ENOSPC) << "close reports the lost write";
        EXPECT_EQ(errorOf([&] { file.close(); }), 0) << "but only once";
    }
    EXPECT_EQ(orvtest::openDescriptors(), descriptors);
    ASSERT_EQ(stat("/dev/full", &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode)) << "/dev/full was replaced";
    EXPECT_EQ(after.st_rdev, before.st_rdev);
}

TEST(OutputFile, WritesAPipeInPlaceAndRefusesToSeekIt) {
    orvtest::TempDir dir;
    const std::string pipe = dir.path("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);  // so that the writer never waits
    ASSERT_GE(reader, 0);
    {
        OutputFile file;
        file.create(pipe.c_str());
        put(file, "streamed");
        EXPECT_EQ(errorOf([&] { file.seekToStart(); }), ESPIPE);
    }
    char got[16] = {};
    EXPECT_EQ(read(reader, got, sizeof got), 8);
    EXPECT_EQ(std::string(got), "streamed");
    close(reader);
    struct stat st;
    ASSERT_EQ(lstat(pipe.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(folderEntries(dir.path("")), std::set<std::string>{"pipe"});
}

// Never written in place: where no new file can be made beside the target, create refuses
// before touching it, however writable the target is.
TEST(OutputFile, AFolderClosedToNewFilesRefusesAndLeavesTheTarget) {
    orvtest::TempDir dir;
    const std::string target = dir.path("cloud.las");
    orvtest::writeFile(target, bytesOf("old"));
    ASSERT_EQ(chmod(target.c_str(), 0666), 0);
    const std::string said = orvtest::runUnprivileged({dir.path("")}, [&]() -> std::string {
        if (chmod(dir.path("").c_str(), 0500) != 0) return "cannot close the folder";
        OutputFile file;
        const int error = errorOf([&] { file.create(target.c_str()); });
        chmod(dir.path("").c_str(), 0700);
        if (error != EACCES) return "create gave " + std::to_string(error) + ", not EACCES";
        if (file.isOpen()) return "the file is open";
        return std::string();
    });
    if (said == orvtest::kNoUnprivilegedUser) GTEST_SKIP() << said;
    EXPECT_EQ(said, "");
    EXPECT_EQ(orvtest::readFile(target), bytesOf("old"));
    EXPECT_EQ(folderEntries(dir.path("")), std::set<std::string>{"cloud.las"});
}

// A new file takes its name in one step; only a replacement passes through a second name.
TEST(OutputFile, ANewFileIsLinkedStraightToItsName) {
    orvtest::TempDir dir;
    const std::string target = dir.path("cloud.las");
    for (uint64_t steps : {1u, 2u}) {  // link; then link and rename
        orv::platform::testing::Scope faults;
        orv::platform::testing::startCounting();
        OutputFile file;
        file.create(target.c_str());
        put(file, "new");
        file.close();
        EXPECT_EQ(orv::platform::testing::calls(FaultOperation::Rename), steps);
        EXPECT_EQ(folderEntries(dir.path("")), std::set<std::string>{"cloud.las"});
    }
    // A dangling link gets the file it names made, the link kept.
    ASSERT_EQ(symlink("made.las", dir.path("link.las").c_str()), 0);
    OutputFile file;
    file.create(dir.path("link.las").c_str());
    put(file, "made");
    file.close();
    EXPECT_EQ(orvtest::readFile(dir.path("made.las")), bytesOf("made"));
    struct stat st;
    ASSERT_EQ(lstat(dir.path("link.las").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

}  // namespace
