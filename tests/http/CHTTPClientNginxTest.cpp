#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "fs/CAtomicFile.h"
#include "http/CHTTPClient.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"
#include "tcp/CTCPImpl.h"

namespace {

// Downloads from a real web server serving a temporary document root.
class NginxDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.Start()) << m_server.Error();
        m_client.SetTimeout(10000);
    }

    bool Get(const std::string& path, const std::string& destination) {
        return m_client.Get(m_server.Url(path).c_str(), destination.c_str());
    }

    static std::string RandomBytes(size_t size) {
        std::mt19937 generator(12345);
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
        return bytes;
    }

    TempDir m_root;
    TempDir m_out;
    NginxServer m_server{m_root.Path()};
    CTCPImpl m_tcp;
    CHTTPClient m_client{&m_tcp};
};

TEST_F(NginxDownloadTest, SmallFile) {
    WriteFile(m_root.File("feed.xml"), "<rss><channel time=\"5\"/></rss>\n");
    ASSERT_TRUE(Get("/feed.xml", m_out.File("autoupdate.xml"))) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_out.File("autoupdate.xml")), "<rss><channel time=\"5\"/></rss>\n");
    EXPECT_EQ(m_out.List(), std::vector<std::string>{"autoupdate.xml"});
}

TEST_F(NginxDownloadTest, SeveralMegabytesArriveByteForByte) {
    const std::string content = RandomBytes(5 * 1024 * 1024 + 123);
    WriteFile(m_root.File("big.map"), content);
    WriteFile(m_out.File("big.map"), "an older, shorter version");
    ASSERT_TRUE(Get("/big.map", m_out.File("big.map"))) << m_client.GetLastError();
    EXPECT_TRUE(ReadFile(m_out.File("big.map")) == content);
    EXPECT_EQ(m_out.List(), std::vector<std::string>{"big.map"});
}

TEST_F(NginxDownloadTest, MissingFileIs404AndLeavesTheDestination) {
    WriteFile(m_out.File("map.xml"), "keep me");
    EXPECT_FALSE(Get("/missing.xml", m_out.File("map.xml")));
    EXPECT_STREQ(m_client.GetLastError(), "404 - Not Found");
    EXPECT_EQ(ReadFile(m_out.File("map.xml")), "keep me");
    EXPECT_EQ(m_out.List(), std::vector<std::string>{"map.xml"});
}

TEST_F(NginxDownloadTest, PathWithSpaces) {
    WriteFile(m_root.File("my map v2.xml"), "<map/>");
    ASSERT_TRUE(Get("/my map v2.xml", m_out.File("my map v2.xml"))) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_out.File("my map v2.xml")), "<map/>");
    EXPECT_NE(m_server.AccessLog().find("\"GET /my%20map%20v2.xml HTTP/1.0\""), std::string::npos)
        << m_server.AccessLog();
}

TEST_F(NginxDownloadTest, IntoAnOpenFileTheBodyStaysUncommitted) {
    WriteFile(m_root.File("map.xml"), "<map>new</map>");
    CAtomicFile file(m_out.File("map.xml"));
    ASSERT_TRUE(file.Open());
    ASSERT_TRUE(m_client.Get(m_server.Url("/map.xml").c_str(), file)) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(file.TemporaryPath()), "<map>new</map>");
    const std::string name = file.TemporaryPath().substr(file.TemporaryPath().rfind('/') + 1);
    EXPECT_EQ(m_out.List(), std::vector<std::string>{name});  // no second temporary file, no rename
    EXPECT_FALSE(m_client.Get(m_server.Url("/missing.xml").c_str(), file));
    EXPECT_STREQ(m_client.GetLastError(), "404 - Not Found");
    file.Discard();
    EXPECT_TRUE(m_out.List().empty());
}

}  // namespace
