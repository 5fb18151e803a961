#include <string>

#include <gtest/gtest.h>

#include <xercesc/util/XMLString.hpp>

#include "XmlTestSupport.h"
#include "xml/CXMLTranscoder.h"
#include "xml/CXString.h"

using XERCES_CPP_NAMESPACE::XMLString;

namespace {

std::string Local(const CXString& text) {
    if (!text.Begin())
        return "(null)";
    CXMLTranscoder local(text);
    return local.localForm();
}

}  // namespace

TEST(CXStringTest, SizeEndAndTerminator) {
    CXString text("abc");
    EXPECT_EQ(text.Size(), 3u);
    EXPECT_EQ(text.End(), text.Begin() + 3);
    EXPECT_EQ(text[3], 0);
    EXPECT_EQ(text[0], 'a');
}

TEST(CXStringTest, IndexIsWritable) {
    CXString text("abc");
    text[1] = 'X';
    EXPECT_EQ(Local(text), "aXc");
}

TEST(CXStringTest, AppendJoinsAndIgnoresNullOrEmpty) {
    CXString text("abc");
    EXPECT_TRUE(text.Append(CXString("de")));
    EXPECT_EQ(Local(text), "abcde");
    EXPECT_TRUE(text.Append(static_cast<const XMLCh*>(nullptr)));
    EXPECT_TRUE(text.Append(CXString("")));
    EXPECT_EQ(Local(text), "abcde");
    EXPECT_EQ(text.Size(), 5u);
}

TEST(CXStringTest, AppendToItselfDoubles) {
    CXString text("ab");
    EXPECT_TRUE(text.Append(text.Begin()));
    EXPECT_EQ(Local(text), "abab");
}

TEST(CXStringTest, AdoptedNullIsEmptyAndGrows) {
    CXString text(static_cast<XMLCh*>(nullptr));
    EXPECT_EQ(text.Size(), 0u);
    EXPECT_EQ(text.Begin(), nullptr);
    EXPECT_EQ(text.End(), nullptr);
    EXPECT_TRUE(text.Append(CXString("x")));
    EXPECT_EQ(Local(text), "x");
}

TEST(CXStringTest, EraseOfNullLeavesEmptyNonNull) {
    CXString text(static_cast<XMLCh*>(nullptr));
    EXPECT_TRUE(text.Erase(text.Begin(), text.End()));
    ASSERT_NE(text.Begin(), nullptr);
    EXPECT_EQ(text.Size(), 0u);
}

TEST(CXStringTest, EraseRanges) {
    CXString text("abcde");
    EXPECT_TRUE(text.Erase(text.Begin() + 1, text.Begin() + 3));
    EXPECT_EQ(Local(text), "ade");
    CXString whole("abcde");
    EXPECT_TRUE(whole.Erase(whole.Begin(), whole.End()));
    ASSERT_NE(whole.Begin(), nullptr);
    EXPECT_EQ(Local(whole), "");
    CXString none("abcde");
    EXPECT_TRUE(none.Erase(none.End(), none.End()));
    EXPECT_EQ(Local(none), "abcde");
}

TEST(CXStringTest, EraseRejectsInvalidRanges) {
    CXString text("abcde");
    CXString other("zzzzz");
    EXPECT_FALSE(text.Erase(text.Begin() + 3, text.Begin() + 1));
    EXPECT_FALSE(text.Erase(text.Begin() - 1, text.Begin() + 1));
    EXPECT_FALSE(text.Erase(text.Begin(), text.End() + 1));
    EXPECT_EQ(Local(text), "abcde");
}

TEST(CXStringTest, ConstSourceIsCopiedNonConstIsAdopted) {
    XMLCh* source = XMLString::transcode("abc");
    CXString copy(static_cast<const XMLCh*>(source));
    source[0] = 'z';
    EXPECT_EQ(Local(copy), "abc");
    CXString adopted(source);  // releases source; a leak or double free shows under valgrind
    EXPECT_EQ(adopted.Begin(), source);
}

TEST(CXStringTest, NullTextGivesNullString) {
    CXString text(static_cast<const char*>(nullptr));
    EXPECT_EQ(text.Begin(), nullptr);
    EXPECT_EQ(text.Size(), 0u);
}

TEST(CXMLTranscoderTest, EmptyInputGivesEmptyNonNullText) {
    const XMLCh empty[] = {0};
    CXMLTranscoder local(empty);
    ASSERT_NE(local.localForm(), nullptr);
    EXPECT_STREQ(local.localForm(), "");
}
