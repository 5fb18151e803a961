#include <gtest/gtest.h>

#include <sys/stat.h>

#include "fs/CAtomicFile.h"
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
    struct Case { const char* name; bool owned; };
    const Case cases[] = {
        {".map.xml.mad-Ab3dE9xZ.part", true},
        {"..hidden.mad-00000000.part", true},
        {".mad-Ab3dE9xZ.part", false},            // no name before the marker
        {"map.xml.mad-Ab3dE9xZ.part", false},     // not hidden
        {".map.xml.mad-Ab3dE9x.part", false},     // random part too short
        {".map.xml.mad-Ab3dE9x-.part", false},    // not a letter or digit
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
