#include <gtest/gtest.h>
#include <cstring>
#include <string>

#include "http/CHTTPResponse.h"

namespace {

class ResponseParseTest : public ::testing::Test {
protected:
    bool Parse(const std::string& head) {
        return m_response.Parse(head.data(), static_cast<unsigned int>(head.size()));
    }

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

TEST_F(ResponseParseTest, ReasonPhraseMayBeEmptyButTheCodeIsRequired) {
    for (const char* head : {"HTTP/1.1 404 \r\n\r\n", "HTTP/1.1 404\r\n\r\n"}) {
        ASSERT_TRUE(Parse(head)) << head;
        EXPECT_EQ(m_response.GetErrorCode(), 404);
        EXPECT_STREQ(m_response.GetErrorDescription(), "");
    }
    EXPECT_FALSE(Parse("HTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(Parse("HTTP/1.1 \r\n\r\n"));
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
    // Read past its length, "HTTP/1.1 20" would become the code 200 with the reason "OK".
    const char cut[] = "HTTP/1.1 200 OK\r\n\r\n";
    ASSERT_TRUE(m_response.Parse(cut, 11));
    EXPECT_EQ(m_response.GetErrorCode(), 20);
    EXPECT_STREQ(m_response.GetErrorDescription(), "");
}

TEST_F(ResponseParseTest, LongReasonIsCutTo255) {
    const std::string reason(300, 'r');
    ASSERT_TRUE(Parse("HTTP/1.0 500 " + reason + "\r\n\r\n"));
    EXPECT_EQ(std::strlen(m_response.GetErrorDescription()), 255u);
    EXPECT_EQ(std::string(m_response.GetErrorDescription()), reason.substr(0, 255));
}

class ContentLengthTest : public ::testing::Test {
protected:
    using Length = CHTTPResponse::Length;
    Length Find(const std::string& head) {
        return CHTTPResponse::FindContentLength(head.data(), static_cast<unsigned int>(head.size()), m_length);
    }

    unsigned long long m_length = 12345;
};

TEST_F(ContentLengthTest, NameMatchesInAnyCase) {
    ASSERT_EQ(Find("HTTP/1.1 200 OK\r\nServer: x\r\ncontent-LENGTH: 42\r\n\r\n"), Length::Valid);
    EXPECT_EQ(m_length, 42u);
    ASSERT_EQ(Find("HTTP/1.1 200 OK\r\nContent-Length:\t7 \r\n\r\n"), Length::Valid);
    EXPECT_EQ(m_length, 7u);
    ASSERT_EQ(Find("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"), Length::Valid);
    EXPECT_EQ(m_length, 0u);
}

TEST_F(ContentLengthTest, AbsentUnlessAHeaderLineHasTheName) {
    EXPECT_EQ(Find("HTTP/1.1 200 OK\r\n\r\n"), Length::Absent);
    EXPECT_EQ(Find("HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\n\r\n"), Length::Absent);
    EXPECT_EQ(Find("Content-Length: 5\r\n\r\n"), Length::Absent);  // the status line is no header
    EXPECT_EQ(m_length, 12345u);
}

// A length that cannot be trusted is never guessed at: malformed, too large, or disagreeing.
TEST_F(ContentLengthTest, MalformedOrDisagreeingValuesAreInvalid) {
    for (const char* value : {"", "-5", "5x", "1 2", "99999999999999999999999", "5, 6", "5,"}) {
        EXPECT_EQ(Find(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + value + "\r\n\r\n"), Length::Invalid)
            << value;
    }
    EXPECT_EQ(Find("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n"), Length::Invalid);
    EXPECT_EQ(m_length, 12345u);
    ASSERT_EQ(Find("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5, 5\r\n\r\n"), Length::Valid);
    EXPECT_EQ(m_length, 5u);
}

TEST(ResponseHeaderTest, FindsTheFirstValueOfANameInAnyCase) {
    const std::string head =
        "HTTP/1.1 302 Found\r\nX-Location: /no\r\nlocation:  /maps/a b.map \r\nLocation: /second\r\n\r\n";
    std::string value;
    ASSERT_TRUE(CHTTPResponse::FindHeader(head.data(), static_cast<unsigned int>(head.size()), "Location", value));
    EXPECT_EQ(value, "/maps/a b.map");
    EXPECT_FALSE(CHTTPResponse::FindHeader(head.data(), static_cast<unsigned int>(head.size()), "Server", value));
}

}  // namespace
