#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "http/CHTTPResponse.h"

namespace {

class ResponseParseTest : public ::testing::Test {
protected:
    bool Parse(const std::string& head) { return m_response.Parse(head.data(), static_cast<unsigned int>(head.size())); }

    CHTTPResponse m_response;
};

TEST_F(ResponseParseTest, ReadsVersionCodeAndReason) {
    ASSERT_TRUE(Parse("HTTP/1.1 200 OK\r\nServer: x\r\n\r\n"));
    EXPECT_EQ(m_response.GetProtocolVersion(), 2);
    EXPECT_EQ(m_response.GetErrorCode(), 200);
    EXPECT_STREQ(m_response.GetErrorDescription(), "OK");

    CHTTPResponse other;
    const std::string head = "HTTP/1.0 404 Not Found\r\n\r\n";
    ASSERT_TRUE(other.Parse(head.data(), static_cast<unsigned int>(head.size())));
    EXPECT_EQ(other.GetProtocolVersion(), 1);
    EXPECT_EQ(other.GetErrorCode(), 404);
    EXPECT_STREQ(other.GetErrorDescription(), "Not Found");
}

TEST_F(ResponseParseTest, VersionIgnoresCaseButMustBeKnown) {
    EXPECT_TRUE(Parse("http/1.1 200 OK\r\n\r\n"));
    EXPECT_EQ(m_response.GetProtocolVersion(), 2);
    EXPECT_FALSE(Parse("HTTP/2 200 OK\r\n\r\n"));
    EXPECT_FALSE(Parse("HTTP/0.9 200 OK\r\n\r\n"));
    EXPECT_FALSE(Parse("HTTP/1.10 200 OK\r\n\r\n"));
}

TEST_F(ResponseParseTest, ReasonPhraseIsRequired) {
    EXPECT_FALSE(Parse("HTTP/1.1 200\r\n\r\n"));
    EXPECT_FALSE(Parse("HTTP/1.1 200 \r\n\r\n"));
    EXPECT_FALSE(Parse("HTTP/1.1\r\n\r\n"));
}

TEST_F(ResponseParseTest, CodeConvertsLikeAtoi) {
    EXPECT_FALSE(Parse("HTTP/1.1 abc OK\r\n\r\n"));
    EXPECT_FALSE(Parse("HTTP/1.1 0 OK\r\n\r\n"));
    ASSERT_TRUE(Parse("HTTP/1.1 200abc OK\r\n\r\n"));
    EXPECT_EQ(m_response.GetErrorCode(), 200);
    EXPECT_FALSE(Parse("HTTP/1.1 99999999999 OK\r\n\r\n"));
}

TEST_F(ResponseParseTest, ExtraSpacesBelongToTheReason) {
    ASSERT_TRUE(Parse("HTTP/1.1 301  Moved Permanently\r\n\r\n"));
    EXPECT_STREQ(m_response.GetErrorDescription(), " Moved Permanently");
}

TEST_F(ResponseParseTest, LeadingEmptyLineIsRejected) {
    EXPECT_FALSE(Parse("\r\nHTTP/1.1 200 OK\r\n\r\n"));
    EXPECT_FALSE(Parse("\r\n\r\n"));
    EXPECT_FALSE(Parse(""));
}

TEST_F(ResponseParseTest, NeverReadsPastTheGivenLength) {
    // Read past its length, "HTTP/1.1 200" would gain the reason " OK" and pass.
    const char cut[] = "HTTP/1.1 200 OK\r\n\r\n";
    EXPECT_FALSE(m_response.Parse(cut, 12));
}

TEST_F(ResponseParseTest, LongReasonIsCutTo255) {
    const std::string reason(300, 'r');
    ASSERT_TRUE(Parse("HTTP/1.0 500 " + reason + "\r\n\r\n"));
    EXPECT_EQ(std::strlen(m_response.GetErrorDescription()), 255u);
    EXPECT_EQ(std::string(m_response.GetErrorDescription()), reason.substr(0, 255));
}

class ContentLengthTest : public ::testing::Test {
protected:
    bool Find(const std::string& head) {
        return CHTTPResponse::FindContentLength(head.data(), static_cast<unsigned int>(head.size()), m_length);
    }

    unsigned long long m_length = 12345;
};

TEST_F(ContentLengthTest, NameMatchesInAnyCase) {
    ASSERT_TRUE(Find("HTTP/1.1 200 OK\r\nServer: x\r\ncontent-LENGTH: 42\r\n\r\n"));
    EXPECT_EQ(m_length, 42u);
    ASSERT_TRUE(Find("HTTP/1.1 200 OK\r\nContent-Length:\t7 \r\n\r\n"));
    EXPECT_EQ(m_length, 7u);
    ASSERT_TRUE(Find("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_EQ(m_length, 0u);
}

TEST_F(ContentLengthTest, OnlyAValidDecimalCounts) {
    EXPECT_FALSE(Find("HTTP/1.1 200 OK\r\n\r\n"));
    EXPECT_FALSE(Find("HTTP/1.1 200 OK\r\nContent-Length: \r\n\r\n"));
    EXPECT_FALSE(Find("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n"));
    EXPECT_FALSE(Find("HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\n"));
    EXPECT_FALSE(Find("HTTP/1.1 200 OK\r\nContent-Length: 1 2\r\n\r\n"));
    EXPECT_FALSE(Find("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n"));
    EXPECT_FALSE(Find("HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\n\r\n"));
    EXPECT_EQ(m_length, 12345u);
}

TEST_F(ContentLengthTest, StatusLineIsNotAHeader) {
    EXPECT_FALSE(Find("Content-Length: 5\r\n\r\n"));
}

TEST_F(ContentLengthTest, DisagreeingValuesCountAsNone) {
    EXPECT_FALSE(Find("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n"));
    ASSERT_TRUE(Find("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n"));
    EXPECT_EQ(m_length, 5u);
}

}  // namespace
