#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fs/CAtomicFile.h"
#include "fs/CDirectory.h"
#include "support/TempDir.h"

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
    TempDir m_dir;
    std::string Target() const { return m_dir.File("map.xml"); }
};

TEST_F(AtomicFileTest, CommitReplacesTheTargetAndLeavesNoTemporary) {
    WriteFile(Target(), "old");
    ::chmod(Target().c_str(), 0640);
    CAtomicFile file(Target());
    ASSERT_TRUE(file.Open());
    EXPECT_TRUE(CAtomicFile::IsTemporaryName(file.TemporaryPath().substr(m_dir.Path().size() + 1).c_str()));
    ASSERT_TRUE(file.Write("new", 3));
    EXPECT_EQ("old", ReadFile(Target()));
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ("new", ReadFile(Target()));
    struct stat info {};
    ASSERT_EQ(0, ::stat(Target().c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777);
    EXPECT_EQ(std::vector<std::string>{"map.xml"}, m_dir.List());
}

// The process's umask as the kernel reports it, without setting it; -1 when it does not say.
int ProcessUmask() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Umask:", 0) == 0) return static_cast<int>(std::stoul(line.substr(6), nullptr, 8));
    }
    return -1;
}

// A new file takes 0666 less the umask, and learning the umask never sets it, not even for a
// moment while other threads create files of their own.
TEST_F(AtomicFileTest, NewFileTakesTheUmaskThatOpeningNeverChanges) {
    if (ProcessUmask() < 0) GTEST_SKIP() << "the kernel does not report the umask in /proc/self/status";
    const mode_t saved = ::umask(027);
    std::atomic<bool> done{false};
    std::atomic<int> otherUmaskSeen{0};
    std::thread watcher([&] {
        while (!done) {
            if (ProcessUmask() != 027) ++otherUmaskSeen;
        }
    });
    std::vector<std::thread> openers;
    for (int t = 0; t < 4; ++t) {
        openers.emplace_back([this, t] {
            for (int i = 0; i < 300; ++i) {
                CAtomicFile file(m_dir.File("new" + std::to_string(t) + ".xml"));
                EXPECT_TRUE(file.Open());
            }
        });
    }
    for (std::thread& opener : openers) opener.join();
    done = true;
    watcher.join();
    CAtomicFile file(Target());
    const bool committed = file.Open() && file.Commit();
    ::umask(saved);
    ASSERT_TRUE(committed);
    EXPECT_EQ(0, otherUmaskSeen.load());
    struct stat info {};
    ASSERT_EQ(0, ::stat(Target().c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777);
}

// A set mode is the file's exact mode, new or replacing, whatever the umask and the old mode.
TEST_F(AtomicFileTest, SetModeIsTheModeOfTheFileWhateverItReplaces) {
    const mode_t saved = ::umask(077);
    for (const bool replaces : {false, true}) {
        ::unlink(Target().c_str());
        if (replaces) {
            WriteFile(Target(), "old");
            ::chmod(Target().c_str(), 0600);
        }
        CAtomicFile file(Target());
        file.SetMode(0644);
        EXPECT_TRUE(file.Open() && file.Write("new", 3) && file.Commit()) << file.ErrorText();
        struct stat info {};
        EXPECT_EQ(0, ::stat(Target().c_str(), &info));
        EXPECT_EQ(0644u, info.st_mode & 07777) << "replaces " << replaces;
    }
    ::umask(saved);
}

// Run as root (sudo, a service without User=), replacing a map of the game server's user must
// leave it that user's file, with its mode: a 0600 map handed to root is lost to the server, and
// set-ID bits must never end up on a root-owned file of downloaded bytes.
TEST_F(AtomicFileTest, ReplacementKeepsTheOwnerGroupAndModeOfTheFileItReplaces) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can hand a file to another user";
    constexpr uid_t kOtherUser = 65534;
    constexpr gid_t kOtherGroup = 65534;
    for (const mode_t mode : {0600u, 0640u, 06755u}) {
        WriteFile(Target(), "old");
        ASSERT_EQ(0, ::chown(Target().c_str(), kOtherUser, kOtherGroup));
        ASSERT_EQ(0, ::chmod(Target().c_str(), mode));
        CAtomicFile file(Target());
        ASSERT_TRUE(file.Open() && file.Write("new", 3) && file.Commit()) << file.ErrorText();
        struct stat info {};
        ASSERT_EQ(0, ::stat(Target().c_str(), &info));
        EXPECT_EQ(kOtherUser, info.st_uid) << std::oct << mode;
        EXPECT_EQ(kOtherGroup, info.st_gid) << std::oct << mode;
        EXPECT_EQ(mode, info.st_mode & 07777) << std::oct << mode;
    }
}

// Any name the file system takes can be replaced: the longer temporary name must not be what fails.
TEST_F(AtomicFileTest, TargetWithTheLongestNameCanBeReplaced) {
    const std::string name(254, 'm');
    WriteFile(m_dir.File(name), "old");
    ASSERT_EQ("old", ReadFile(m_dir.File(name))) << "the file system refuses the name itself";
    CAtomicFile file(m_dir.File(name));
    ASSERT_TRUE(file.Open()) << file.ErrorText();
    EXPECT_TRUE(CAtomicFile::IsTemporaryName(file.TemporaryPath().substr(m_dir.Path().size() + 1).c_str()));
    ASSERT_TRUE(file.Write("new", 3));
    ASSERT_TRUE(file.Commit()) << file.ErrorText();
    EXPECT_EQ("new", ReadFile(m_dir.File(name)));
    EXPECT_EQ(std::vector<std::string>{name}, m_dir.List());
}

// Gathered pieces reach the file only at Flush, in order; Commit writes what is still noted.
TEST_F(AtomicFileTest, GatheredPiecesAreWrittenInOrderByFlushOrCommit) {
    CAtomicFile file(Target(), CAtomicFile::Sync::Fast);
    ASSERT_TRUE(file.Open());
    const std::string head = "<map>", record = "<v>2</v>", tail = "</map>";
    file.Gather();
    ASSERT_TRUE(file.Write(head.data(), head.size()));
    ASSERT_TRUE(file.Write(record.data(), record.size()));
    EXPECT_EQ(0u, file.Size());
    ASSERT_TRUE(file.Flush());
    EXPECT_EQ(head.size() + record.size(), file.Size());
    file.Gather();
    ASSERT_TRUE(file.Write(tail.data(), tail.size()));
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ("<map><v>2</v></map>", ReadFile(Target()));
}

TEST_F(AtomicFileTest, DestructionWithoutCommitKeepsTheTarget) {
    WriteFile(Target(), "old");
    {
        CAtomicFile file(Target(), CAtomicFile::Sync::Fast);
        ASSERT_TRUE(file.Open());
        ASSERT_TRUE(file.Write("partial", 7));
    }
    EXPECT_EQ("old", ReadFile(Target()));
    EXPECT_EQ(std::vector<std::string>{"map.xml"}, m_dir.List());
}

// Through a directory descriptor, a commit or a discard happens in the directory that was opened,
// though its path was renamed away and another directory took it meanwhile.
TEST_F(AtomicFileTest, DirectoryDescriptorKeepsEveryStepInTheOpenedDirectory) {
    for (const bool commit : {true, false}) {
        const std::string save = m_dir.File(commit ? "save-c" : "save-d");
        const std::string moved = save + "-moved";
        ASSERT_EQ(0, ::mkdir(save.c_str(), 0755));
        CDirectory directory;
        ASSERT_TRUE(directory.Open(save));
        CAtomicFile file(directory.Fd(), "map.xml", CAtomicFile::Sync::Durable);
        ASSERT_TRUE(file.Open());
        ASSERT_TRUE(file.Write("new", 3));
        ASSERT_EQ(0, ::rename(save.c_str(), moved.c_str()));
        ASSERT_EQ(0, ::mkdir(save.c_str(), 0755));
        if (commit) {
            ASSERT_TRUE(file.Commit()) << file.ErrorText();
        } else {
            file.Discard();
        }
        EXPECT_EQ(commit ? std::vector<std::string>{"map.xml"} : std::vector<std::string>{}, ListDirectory(moved));
        EXPECT_EQ(std::vector<std::string>{}, ListDirectory(save));
    }
}

TEST_F(AtomicFileTest, OpenInAMissingDirectoryReportsTheSystemsReason) {
    CAtomicFile file(m_dir.File("missing/map.xml"));
    EXPECT_FALSE(file.Open());
    EXPECT_EQ(ENOENT, file.Error());
    EXPECT_EQ("No such file or directory", file.ErrorText());
    EXPECT_FALSE(file.Commit());
}

TEST_F(AtomicFileTest, CommitOverADirectoryFailsAndRemovesTheTemporary) {
    ASSERT_EQ(0, ::mkdir(Target().c_str(), 0755));
    CAtomicFile file(Target());
    ASSERT_TRUE(file.Open());
    EXPECT_FALSE(file.Commit());
    EXPECT_NE(0, file.Error());
    EXPECT_EQ(std::vector<std::string>{"map.xml"}, m_dir.List());
}

TEST(AtomicFileNames, OnlyThePatternCounts) {
    struct Case {
        const char* name;
        bool owned;
    };
    const Case cases[] = {
        {".map.xml.mad-Ab3dE9xZ.part", true},
        {"..hidden.mad-00000000.part", true},
        {".mad-Ab3dE9xZ.part", false},          // no name before the marker
        {"map.xml.mad-Ab3dE9xZ.part", false},   // not hidden
        {".map.xml.mad-Ab3dE9x.part", false},   // random part too short
        {".map.xml.mad-Ab3dE9x-.part", false},  // not a letter or digit
        {".map.xml.tmp-Ab3dE9xZ.part", false},
        {".map.xml.mad-Ab3dE9xZ.partial", false},
        {".map.part", false},
    };
    for (const Case& c : cases) EXPECT_EQ(c.owned, CAtomicFile::IsTemporaryName(c.name)) << c.name;
}

TEST_F(AtomicFileTest, RemoveLeftoversTakesOnlyOwnedRegularFiles) {
    WriteFile(m_dir.File(".a.map.mad-Ab3dE9xZ.part"), "left by a crash");
    WriteFile(m_dir.File("b.map.mad-Ab3dE9xZ.part"), "a map");
    WriteFile(m_dir.File(".b.map.part"), "someone else's");
    ASSERT_EQ(0, ::mkdir(m_dir.File(".c.map.mad-Ab3dE9xZ.part").c_str(), 0755));
    EXPECT_EQ(1u, CAtomicFile::RemoveLeftovers(m_dir.Path()));
    EXPECT_EQ((std::vector<std::string>{".b.map.part", ".c.map.mad-Ab3dE9xZ.part", "b.map.mad-Ab3dE9xZ.part"}),
              m_dir.List());
}

}  // namespace
