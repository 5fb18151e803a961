#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>

#include "fs/CInputFile.h"
#include "support/TempDir.h"

namespace {

// Every kind of entry a name can stand for, told apart without blocking: a FIFO without a writer
// would hang a plain open for reading.
TEST(InputFileTest, TellsEveryKindOfEntryApartWithoutBlocking) {
    TempDir dir;
    WriteFile(dir.File("map"), "<map/>");
    ASSERT_EQ(0, ::mkfifo(dir.File("fifo").c_str(), 0644));
    ASSERT_EQ(0, ::mkdir(dir.File("dir").c_str(), 0755));
    ASSERT_EQ(0, ::symlink("loop", dir.File("loop").c_str()));
    ASSERT_EQ(0, ::symlink("map", dir.File("link").c_str()));
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.File("socket").c_str());
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));

    const struct {
        std::string path;
        CInputFile::Status status;
        int error;
    } cases[] = {
        {dir.File("map"), CInputFile::Status::Regular, 0},
        {dir.File("link"), CInputFile::Status::Regular, 0},
        {dir.File("missing"), CInputFile::Status::Missing, ENOENT},
        {dir.File("map/inside"), CInputFile::Status::Missing, ENOTDIR},
        {dir.File("fifo"), CInputFile::Status::NotRegular, 0},
        {dir.File("socket"), CInputFile::Status::NotRegular, 0},
        {dir.File("dir"), CInputFile::Status::NotRegular, 0},
        {"/dev/null", CInputFile::Status::NotRegular, 0},
        {dir.File("loop"), CInputFile::Status::Unreadable, ELOOP},
    };
    for (const auto& c : cases) {
        int error = -1;
        EXPECT_EQ(c.status, CInputFile::Check(c.path, error)) << c.path;
        EXPECT_EQ(c.error, error) << c.path;
    }
    ::close(listener);
}

TEST(InputFileTest, ReadAllStopsPastTheLimit) {
    TempDir dir;
    WriteFile(dir.File("map"), "0123456789");
    CInputFile file;
    ASSERT_EQ(CInputFile::Status::Regular, file.Open(dir.File("map")));
    std::string text;
    EXPECT_TRUE(file.ReadAll(text, 10));
    EXPECT_EQ("0123456789", text);
    ASSERT_EQ(CInputFile::Status::Regular, file.Open(dir.File("map")));
    text.clear();
    EXPECT_FALSE(file.ReadAll(text, 9));
    EXPECT_EQ(EFBIG, file.Error());
}

}  // namespace
