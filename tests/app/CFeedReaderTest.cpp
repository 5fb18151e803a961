#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <xercesc/util/PlatformUtils.hpp>

#include "app/CFeedReader.h"
#include "support/TempDir.h"

namespace {

// The feed is read both ways: kept whole in memory, and read twice for want of room.
class FeedReaderTest : public ::testing::TestWithParam<std::size_t> {
protected:
    static void SetUpTestSuite() { xercesc::XMLPlatformUtils::Initialize(); }

    CFeedReader::Result Walk(const std::string& feed, std::vector<std::string>& items, int stopAfter = -1) {
        WriteFile(m_dir.File("feed.xml"), feed);
        items.clear();
        CFeedReader::Result result = m_reader.Walk(m_dir.File("feed.xml").c_str(), [&](const CFeedReader::Item& item) {
            items.push_back(std::string(item.title) + "|" + item.link + "|" + std::to_string(item.version));
            return static_cast<int>(items.size()) != stopAfter;
        });
        return result;
    }

    TempDir m_dir;
    CFeedReader m_reader{{}, GetParam()};
};

}  // namespace

TEST_P(FeedReaderTest, TakesTheFirstChannelsItemsAndEachItemsFirstFields) {
    std::vector<std::string> items;
    ASSERT_EQ(CFeedReader::Result::Complete,
              Walk("<rss x:y='1'><Channel><TIME>24-05-01 <b>12</b>:00</TIME><time>no</time>"
                   "<item><title>a<!-- c -->.map</title><link>http://h/a</link><version> 0x10 </version>"
                   "<title>second</title><sub><version>9</version></sub></item>"
                   "<group><item><title>nested</title></item></group>"
                   "<ITEM><Title><![CDATA[b.map]]></Title><version>-3</version></ITEM>"
                   "<item><title>" +
                       std::string(300, 't') +
                       "</title></item></Channel>"
                       "<channel><item><title>other channel</title></item></channel></rss>",
                   items));
    EXPECT_EQ((std::vector<std::string>{"a.map|http://h/a|16", "b.map||0", std::string(255, 't') + "||0"}), items);
    EXPECT_STREQ("24-05-01 12:00", m_reader.Time());
}

TEST_P(FeedReaderTest, BrokenFeedYieldsNoItemAndMissingChannelIsTold) {
    std::vector<std::string> items;
    EXPECT_EQ(CFeedReader::Result::Failed,
              Walk("<rss><channel><item><title>a.map</title></item><item><title>b", items));
    EXPECT_TRUE(items.empty());
    EXPECT_NE(m_reader.Error().find("line 1"), std::string::npos) << m_reader.Error();
    EXPECT_EQ(CFeedReader::Result::NoChannel, Walk("<rss><item><title>a.map</title></item></rss>", items));
    EXPECT_TRUE(items.empty());
}

TEST_P(FeedReaderTest, HandlerCanEndTheWalk) {
    std::vector<std::string> items;
    EXPECT_EQ(CFeedReader::Result::Ended,
              Walk("<rss><channel><item><title>a</title></item><item><title>b</title></item>"
                   "<item><title>c</title></item></channel></rss>",
                   items, 2));
    EXPECT_EQ(2u, items.size());
}

INSTANTIATE_TEST_SUITE_P(KeptAndReadTwice, FeedReaderTest, ::testing::Values(CFeedReader::kDefaultKeepBytes, 1));
