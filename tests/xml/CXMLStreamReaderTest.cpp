#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLString.hpp>

#include "XmlTestSupport.h"
#include "xml/CXMLStreamReader.h"
#include "xml/CXMLTokenFilter.h"
#include "xml/CXMLTranscoder.h"

namespace {

// Records elements as "name@depth" and the text in document order.
class Recorder final : public CXMLStreamHandler {
public:
    void StartElement(const XMLCh* name, unsigned int depth) override {
        events.push_back(std::string(CXMLTranscoder(name).localForm()) + "@" + std::to_string(depth));
    }
    void EndElement(unsigned int depth) override { events.push_back("/" + std::to_string(depth)); }
    void Characters(const XMLCh* chars, std::size_t length) override {
        text += CXMLTranscoder(std::u16string(chars, length).c_str()).localForm();
        units.append(chars, length);
    }
    std::vector<std::string> events;
    std::string text;
    // The text as the parser gave it, whatever the local code page makes of its pieces.
    std::u16string units;
};

std::string Nested(unsigned int depth) {
    std::string xml;
    for (unsigned int i = 0; i < depth; ++i) xml += "<a>";
    for (unsigned int i = 0; i < depth; ++i) xml += "</a>";
    return xml;
}

std::string Repeat(const std::string& text, unsigned int times) {
    std::string out;
    for (unsigned int i = 0; i < times; ++i) out += text;
    return out;
}

using Result = CXMLStreamReader::Result;

}  // namespace

using XmlStreamTest = XmlFileTest;

TEST_F(XmlStreamTest, ReportsQualifiedNamesDepthsAndTextWithoutResolvingPrefixes) {
    WriteFile(Path(), "<m:map editor:x='1'><!-- c --><meta>a&amp;<![CDATA[<b>]]>&#65;</meta></m:map>");
    CXMLStreamReader reader;
    Recorder recorder;
    ASSERT_EQ(reader.Read(Path().c_str(), recorder), Result::Complete) << reader.Error();
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"m:map@1", "meta@2", "/2", "/1"}));
    EXPECT_EQ(recorder.text, "a&<b>A");
}

// An open file is read from its first byte without moving its offset, so it reads the same twice;
// a file that cannot be opened or read fails with the system's reason, a bad document without one.
TEST_F(XmlStreamTest, OpenFileReadsFromItsStartAndSystemFailuresNameTheirReason) {
    WriteFile(Path(), "<map><meta/></map>");
    const int fd = ::open(Path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(5, ::lseek(fd, 5, SEEK_SET));
    CXMLStreamReader reader;
    for (int pass = 0; pass < 2; ++pass) {
        Recorder recorder;
        ASSERT_EQ(reader.Read(fd, recorder), Result::Complete) << reader.Error();
        EXPECT_EQ(recorder.events, (std::vector<std::string>{"map@1", "meta@2", "/2", "/1"}));
    }
    ::close(fd);

    const int writeOnly = ::open(Path().c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writeOnly, 0);
    EXPECT_EQ(reader.Check(Path("missing.xml").c_str()), Result::Failed);
    EXPECT_EQ(ENOENT, reader.SystemError());
    EXPECT_EQ("No such file or directory", reader.Error());
    Recorder recorder;
    EXPECT_EQ(reader.Read(writeOnly, recorder), Result::Failed);
    EXPECT_EQ(EBADF, reader.SystemError());
    EXPECT_EQ("Bad file descriptor", reader.Error());
    ::close(writeOnly);
    WriteFile(Path(), "<map>");
    EXPECT_EQ(reader.Check(Path().c_str()), Result::Failed);
    EXPECT_EQ(0, reader.SystemError());
}

TEST_F(XmlStreamTest, EveryMalformedOrUnsafeDocumentFailsWithAPlace) {
    std::string big(CXMLStreamReader::kMaxEntityText + 1, 'x');
    const std::vector<std::string> bad = {
        "", "<a>", "<a></b>", "<map><meta><version>3</version></meta>", "<a/><b/>",
        // A character cut short at the very end, after the root or in a comment after it.
        "<a/>\xc3", "<a/>\n\xe2\x82", "<a/>\xffy<b>", "<a>&undefined;</a>",
        "<!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a>&x;</a>",
        "<!DOCTYPE a [<!ENTITY x '" + big + "'>]><a>&x;</a>",
        "<!DOCTYPE a [<!ENTITY x 'y'>]><a b='" + Repeat("&x;", CXMLStreamReader::kEntityExpansionLimit + 1) + "'/>",
        Nested(CXMLStreamReader::kMaxNestingDepth + 1)};
    for (std::size_t i = 0; i < bad.size(); ++i) {
        WriteFile(Path(), bad[i]);
        CXMLStreamReader reader;
        EXPECT_EQ(reader.Check(Path().c_str()), Result::Failed) << i;
        EXPECT_FALSE(reader.Error().empty()) << i;
    }
    CXMLStreamReader reader;
    EXPECT_EQ(reader.Check(Path("absent.xml").c_str()), Result::Failed);
}

TEST_F(XmlStreamTest, LimitsAdmitWhatFitsAndADeepDocumentFailsAtTheBound) {
    const std::string entity(CXMLStreamReader::kMaxEntityText, 'x');
    WriteFile(Path(), "<!DOCTYPE a [<!ENTITY x '" + entity + "'>]><a>" +
                          Repeat("&x;", CXMLStreamReader::kEntityExpansionLimit - 1) + "</a>");
    CXMLStreamReader reader;
    EXPECT_EQ(reader.Check(Path().c_str()), Result::Complete) << reader.Error();
    // A predefined entity is no expansion: any number of them reads.
    const unsigned int many = 2 * CXMLStreamReader::kEntityExpansionLimit;
    WriteFile(Path(), "<a b='" + Repeat("&amp;", many) + "'>" + Repeat("&lt;", many) + "</a>");
    EXPECT_EQ(reader.Check(Path().c_str()), Result::Complete) << reader.Error();
    WriteFile(Path(), Nested(CXMLStreamReader::kMaxNestingDepth));
    EXPECT_EQ(reader.Check(Path().c_str()), Result::Complete) << reader.Error();

    // A million levels: the bound stops the read at level 2049, long before the end.
    WriteFile(Path(), Nested(1000000));
    Recorder recorder;
    EXPECT_EQ(reader.Read(Path().c_str(), recorder), Result::Failed);
    EXPECT_NE(reader.Error().find("nested deeper than 2048 levels"), std::string::npos) << reader.Error();
    EXPECT_EQ(recorder.events.size(), CXMLStreamReader::kMaxNestingDepth);
}

TEST_F(XmlStreamTest, StopRequestAndFinishedHandlerEndTheReadEarly) {
    WriteFile(Path(), "<a>" + Repeat("<b/>", 10000) + "</a>");
    int asked = 0;
    CXMLStreamReader stopping([&] { return ++asked > 10; });
    Recorder recorder;
    EXPECT_EQ(stopping.Read(Path().c_str(), recorder), Result::Stopped);
    EXPECT_LT(recorder.events.size(), 30u);

    class FirstOnly final : public CXMLStreamHandler {
    public:
        void StartElement(const XMLCh*, unsigned int) override { ++seen; }
        void EndElement(unsigned int) override {}
        void Characters(const XMLCh*, std::size_t) override {}
        bool Finished() const override { return seen > 0; }
        int seen = 0;
    } first;
    CXMLStreamReader reader;
    EXPECT_EQ(reader.Read(Path().c_str(), first), Result::Ended);
    EXPECT_EQ(first.seen, 1);
}

// A FIFO or a directory under a document's name fails the read at once: nothing may wait for a
// writer that never comes.
TEST_F(XmlStreamTest, OnlyARegularFileIsEverOpened) {
    ASSERT_EQ(0, ::mkfifo(Path().c_str(), 0600));
    auto read = std::async(std::launch::async, [this] {
        CXMLStreamReader reader;
        Recorder recorder;
        return reader.Read(Path().c_str(), recorder);
    });
    if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Let the blocked open go before failing.
        const int writer = ::open(Path().c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
        FAIL() << "the read waited on a FIFO";
    }
    EXPECT_EQ(read.get(), Result::Failed);

    ::unlink(Path().c_str());
    ASSERT_EQ(0, ::mkdir(Path().c_str(), 0700));
    CXMLStreamReader reader;
    Recorder recorder;
    EXPECT_EQ(reader.Read(Path().c_str(), recorder), Result::Failed);
    ::rmdir(Path().c_str());
}

// What the parser holds is bounded whatever the document's shape: a million siblings keep no
// state each; what still cannot fit (a huge literal in the document type) fails the read.
TEST_F(XmlStreamTest, ParserMemoryStaysWithinTheBudget) {
    const std::string huge(CXMLStreamReader::kMemoryBudget, 'c');
    const struct {
        std::string xml;
        Result expected;
    } cases[] = {
        {"<m>" + Repeat("<o/>", 2000000) + "</m>", Result::Complete},
        {"<!DOCTYPE m SYSTEM '" + huge + "'><m/>", Result::Failed},
    };
    for (const auto& c : cases) {
        WriteFile(Path(), c.xml);
        CXMLStreamReader reader;
        EXPECT_EQ(reader.Check(Path().c_str()), c.expected) << c.xml.substr(0, 20);
        if (c.expected == Result::Failed) {
            EXPECT_NE(reader.Error().find("needs more than 16 MiB to read"), std::string::npos) << reader.Error();
        }
    }
}

namespace {

// Text of about bytes bytes, pattern repeated, with a line break every 100 bytes.
std::string Long(const std::string& pattern, std::size_t bytes = CXMLStreamReader::kMemoryBudget + (1u << 20)) {
    std::string text;
    text.reserve(bytes + 200);
    while (text.size() < bytes) {
        text += pattern;
        if (text.size() % 100 < pattern.size()) text += '\n';
    }
    return text;
}

enum class Encoding { Latin1, Utf16LE, Utf16BE, Utf32LE, Utf32BE, Ebcdic };

// The byte of IBM037 for each character below U+0100, from the parser's own table.
std::string EbcdicBytes() {
    XERCES_CPP_NAMESPACE::XMLTransService::Codes code;
    const std::unique_ptr<XERCES_CPP_NAMESPACE::XMLTranscoder> transcoder(
        XERCES_CPP_NAMESPACE::XMLPlatformUtils::fgTransService->makeNewTranscoderFor("IBM037", code, 256));
    XMLByte all[256];
    for (unsigned int b = 0; b < 256; ++b) all[b] = static_cast<XMLByte>(b);
    XMLCh units[256];
    unsigned char sizes[256];
    XMLSize_t eaten = 0;
    transcoder->transcodeFrom(all, 256, units, 256, eaten, sizes);
    std::string bytes(256, '\0');
    for (unsigned int b = 0; b < 256; ++b)
        if (units[b] < 0x100) bytes[units[b]] = static_cast<char>(b);
    return bytes;
}

// The UTF-8 text in encoding, after a declaration that names it, or names declared (and a byte
// order mark for UTF-16 and UTF-32); in ISO-8859-1 and IBM037 every character must be below U+0100.
std::string Encode(const std::string& utf8, Encoding encoding, const char* declared = nullptr) {
    static const char* const names[] = {"ISO-8859-1", "UTF-16", "UTF-16", "UTF-32", "UTF-32", "IBM037"};
    static const char* const marks[] = {"", "\xFF\xFE", "\xFE\xFF", "\xFF\xFE\0\0", "\0\0\xFE\xFF", ""};
    const std::size_t index = static_cast<std::size_t>(encoding);
    const std::string text =
        std::string("<?xml version='1.0' encoding='") + (declared ? declared : names[index]) + "'?>\n" + utf8;
    const std::size_t width = encoding == Encoding::Utf16LE || encoding == Encoding::Utf16BE   ? 2
                              : encoding == Encoding::Utf32LE || encoding == Encoding::Utf32BE ? 4
                                                                                               : 1;
    const bool little = encoding == Encoding::Utf16LE || encoding == Encoding::Utf32LE;
    static const std::string ebcdic = EbcdicBytes();
    std::string out(marks[index], width == 4 ? 4 : std::strlen(marks[index]));
    out.reserve(text.size() * width + 4);
    auto unit = [&](char32_t u) {
        if (encoding == Encoding::Ebcdic) u = static_cast<unsigned char>(ebcdic[u & 0xFF]);
        for (std::size_t b = 0; b < width; ++b)
            out += static_cast<char>(u >> (8 * (little ? b : width - 1 - b)) & 0xFF);
    };
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t i = 1; i < length; ++i) code = (code << 6) | (text[at + i] & 0x3F);
        at += length;
        if (code < 0x10000 || width != 2) {
            unit(code);
        } else {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
    }
    return out;
}

}  // namespace

// Each document holds one token longer than the parser's whole budget, or more different element
// names than it could keep, in UTF-8 or another encoding: each reads, and the handler sees what it
// sees of the short form (in UTF-8).
TEST_F(XmlStreamTest, LongTokensAndManyNamesReadAsTheirShortForms) {
    std::string name = "n";
    while (name.size() < (4u << 20)) name += "\xc3\xa9-x.";
    std::string many;
    std::vector<std::string> manyEvents = {"m@1"};
    for (unsigned int i = 0; i < 150000; ++i) {
        many += "<e" + std::to_string(i) + "/>";
        manyEvents.push_back("e" + std::to_string(i) + "@2");
        manyEvents.push_back("/2");
    }
    manyEvents.push_back("/1");
    const std::string cdata = Long("a]b]]c\xe2\x82\xac]");
    // A section whose end starts at the last byte before a cut.
    const std::string edge(CXMLTokenFilter::kMaxTokenBytes - 1, 'x');
    const struct {
        std::string xml;
        std::string shortForm;
    } cases[] = {
        {"<m><!--" + Long("a-b\xc3\xa9-c") + "--><a>t</a></m>", "<m><a>t</a></m>"},
        {"<m><![CDATA[" + cdata + "]]><a/></m>", "<m>" + cdata + "<a/></m>"},
        {"<m><![CDATA[x" + Repeat("\r\n", 100000) + "]]></m>", "<m>x" + Repeat("\n", 100000) + "</m>"},
        {"<m><![CDATA[" + edge + "]]><a/></m>", "<m>" + edge + "<a/></m>"},
        {"<m><?pi " + Long("a?b??") + "?><a/></m>", "<m><a/></m>"},
        {"<m a='" + Long("&amp;&#x41;&#10;\"\xf0\x9f\x98\x80\t>") + "' b='1'><a/></m>", "<m a='' b='1'><a/></m>"},
        {"<m><a " + name + "='1' b='2'/></m>", "<m><a/></m>"},
        {"<m>" + many + "</m>", ""},
        {"<?xml version='1.0' encoding='ISO-8859-1'?><m a='" + Long("\xe9", 1u << 20) + "'/>", "<m/>"},
    };
    auto check = [&](const std::string& xml, const std::string& shortForm) {
        WriteFile(Path(), xml);
        CXMLStreamReader reader;
        Recorder recorder;
        ASSERT_EQ(reader.Read(Path().c_str(), recorder), Result::Complete) << xml.substr(0, 40) << reader.Error();
        Recorder expected;
        if (shortForm.empty()) {
            expected.events = manyEvents;
        } else {
            WriteFile(Path(), shortForm);
            ASSERT_EQ(reader.Read(Path().c_str(), expected), Result::Complete) << shortForm.substr(0, 40);
        }
        EXPECT_EQ(recorder.events, expected.events) << xml.substr(0, 40);
        EXPECT_TRUE(recorder.units == expected.units) << xml.substr(0, 40);
    };
    for (const auto& c : cases) check(c.xml, c.shortForm);
    // The same tokens in other encodings; in UTF-16 with a character that takes two code units.
    for (const Encoding encoding : {Encoding::Latin1, Encoding::Ebcdic, Encoding::Utf16LE, Encoding::Utf16BE,
                                    Encoding::Utf32LE, Encoding::Utf32BE}) {
        // The parser holds two bytes a character: in UTF-16 and UTF-32 half as many outgrow it.
        const std::string text = encoding == Encoding::Latin1 || encoding == Encoding::Ebcdic
                                     ? Long("a]b\xc3\xa9-c")
                                     : Long("a]b\xc3\xa9-c\xf0\x9f\x98\x80", CXMLStreamReader::kMemoryBudget / 2);
        const struct {
            std::string xml;
            std::string shortForm;
        } encoded[] = {
            {"<m><!--" + text + "--><a>t</a></m>", "<m><a>t</a></m>"},
            {"<m><![CDATA[" + text + "]]><a/></m>", "<m>" + text + "<a/></m>"},
            {"<m a='" + text + "' b='1'><a/></m>", "<m a='' b='1'><a/></m>"},
            {"<m>" + text + "<a/></m>", "<m>" + text + "<a/></m>"},
        };
        for (const auto& c : encoded) check(Encode(c.xml, encoding), c.shortForm);
    }

    // A long element name is reported by its start and a hash: two that differ only at their end
    // stay apart, and each end tag closes its own start tag.
    const std::string other = name + "y";
    WriteFile(Path(), "<m><" + name + ">t</" + name + "><" + other + "/></m>");
    CXMLStreamReader reader;
    Recorder recorder;
    ASSERT_EQ(reader.Read(Path().c_str(), recorder), Result::Complete) << reader.Error();
    ASSERT_EQ(recorder.events.size(), 6u);
    EXPECT_EQ(recorder.events[1].rfind("n\xc3\xa9-x.\xc3\xa9-x.", 0), 0u) << recorder.events[1];
    EXPECT_NE(recorder.events[1].find("~"), std::string::npos);
    EXPECT_NE(recorder.events[1], recorder.events[3]);
    EXPECT_EQ(recorder.text, "t");
}

// What is malformed in a long token or among many names still fails, on the line where it is.
// The tokens are long enough to be cut or shortened, not to outgrow the parser.
TEST_F(XmlStreamTest, MalformedLongTokensFailWhereTheyAre) {
    const std::string text = Long("abc", 4 * CXMLTokenFilter::kMaxTokenBytes);
    const std::string name = "n" + std::string(1u << 20, 'x');
    std::string many;
    for (unsigned int i = 0; i < 2000; ++i) many += "<e" + std::to_string(i) + "/>";
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    const std::string after = "line " + std::to_string(lines + 1) + ",";
    const std::string kNul(1, '\0');
    const struct {
        std::string xml;
        std::string error;
    } cases[] = {
        {"<m><!--" + text + "--x--></m>", after},
        {"<m><!--" + text + "---></m>", after},
        {"<m><!--x" + Repeat("\r\n", 100000) + "--x--></m>", "line 100001,"},
        {"<m><![CDATA[" + text + "]]>]]></m>", after},
        {"<m a='" + text + "<'/>", after},
        {"<m a='" + text + "&#0;'/>", after},
        {"<m a='" + text + "&e;'/>", "entity 'e'"},
        {"<m a='" + text + "&amp\xc3\xa9;'/>", "entity 'amp"},
        {"<m a='" + text + "&#xD800;'/>", after},
        {"<m a='" + text + "\x01'/>", after},
        {"<m a='" + text + "\xc3('/>", "invalid byte"},
        {"<m a='" + text + "'b='1'/>", after},
        {"<m a='" + std::string(CXMLTokenFilter::kMaxValueBytes, 'x') + "\rx\n<'/>", "line 3,"},
        {"<m a='" + std::string(CXMLTokenFilter::kMaxValueBytes, 'x') + "\r\n\n&e;'/>", "line 3,"},
        {"<m a='" + text + "'>\n<b></c></m>", "line " + std::to_string(lines + 2) + ","},
        // Reported where the value ends by the scanner of a document with a DOCTYPE.
        {"<!DOCTYPE m>\n<m a='1' a='" + text + "'/>", "line " + std::to_string(lines + 2) + ","},
        {"<m a='" + text + "\r\xc3\xa9\n'x/>", "line " + std::to_string(lines + 3) + ","},
        {"<m a='" + Repeat("x\r\n", 100000) + "'\r\n><b></c></m>", "line 100002,"},
        {"<m><" + name + "></" + name + "z></m>", "expected end of tag 'nxxx"},
        {"<m><" + name + "\xc2\xa0/></m>", "line 1,"},
        // A character that is no name character, across the end of what a long name keeps.
        {"<m>\n<" + std::string(CXMLTokenFilter::kMaxNameBytes - 1, 'n') + "\xc2\x9b/></m>", "line 2,"},
        {"<m>\n<" + std::string(CXMLTokenFilter::kMaxNameBytes - 1, 'n') + "\xc3\xa9x\xc2\x9b/></m>", "line 2,"},
        {"<m>" + many + "<zz></yy></m>", "expected end of tag 'zz'"},
        {"<m>" + many + "<zz>" + "</m>", "expected end of tag 'zz'"},
        {"<m>" + many + "<zz a='1' / ></m>", "unterminated start tag 'zz'"},
        // In other encodings, on the line of the document (its declaration is line 1).
        {Encode("<m><!--" + text + "--x--></m>", Encoding::Latin1), "line " + std::to_string(lines + 2) + ","},
        {Encode("<m><!--x" + Repeat("\r\n", 100000) + "--x--></m>", Encoding::Utf16LE), "line 100002,"},
        {Encode("<m a='" + text + "<'/>", Encoding::Utf16BE), "line " + std::to_string(lines + 2) + ","},
        {"<?xml version='1.0' encoding='US-ASCII'?>\n<m><!--" + text + "-->\n\xe9</m>",
         "line " + std::to_string(lines + 3) + ", column 1: char 0xE9 is not representable"},
        {Encode("<m><!--" + text + "-->\n\xed\xa0\x80</m>", Encoding::Utf16LE),
         "line " + std::to_string(lines + 3) + ", column 1: a UTF-16 surrogate without its pair"},
        {Encode("<m/>\n", Encoding::Utf16BE) + '\0', "line 3, column 1: the document ends inside a character"},
        // The parser would take a NUL for the end of the document, after the root for a good one.
        {"<m>\n<!--" + text + "-->\n\xc3\xa9" + kNul + "</m>",
         "line " + std::to_string(lines + 3) + ", column 2: a NUL"},
        {"<m>\r\n<a>x\rx" + kNul + "</a></m>", "line 3, column 2: a NUL"},
        {"<m/>\n" + kNul + "<<", "line 2, column 1: a NUL"},
        {Encode("<m/>\n" + kNul + "<<", Encoding::Latin1), "line 3, column 1: a NUL"},
        {Encode("<m>\n" + kNul + "</m>", Encoding::Utf16LE), "line 3, column 1: a NUL"},
        {Encode("<m/>\n" + kNul + "<<", Encoding::Utf32LE), "line 3, column 1: a NUL"},
        {Encode("<m/>\n" + kNul + "<<", Encoding::Utf32BE), "line 3, column 1: a NUL"},
        {Encode("<m/>\n" + kNul + "<<", Encoding::Ebcdic), "line 3, column 1: a NUL"},
        {"<?xml version='1.0' encoding='no-such'?><m/>", "line 1, column 41: unable to create converter"},
        {Encode("<m/>", Encoding::Utf16LE, "ISO-8859-1"), "line 2,"},
    };
    for (const auto& c : cases) {
        WriteFile(Path(), c.xml);
        CXMLStreamReader reader;
        EXPECT_EQ(reader.Check(Path().c_str()), Result::Failed) << c.xml.substr(0, 40);
        EXPECT_NE(reader.Error().find(c.error), std::string::npos) << c.error << " / " << reader.Error();
    }
}

// Attributes the filter checks and leaves out: each document reads as the parser alone reads it,
// with the same result, events and error, to the column. The filter leaves a document's first
// tag to the parser.
TEST_F(XmlStreamTest, AttributesCheckedByTheFilterReadAsTheParserReadsThem) {
    std::string manyAttributes;
    for (int i = 0; i < 40; ++i) manyAttributes += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    const std::string documents[] = {
        "<r><m a='1' b=\"&lt;&#x41;&#9;>\"><c d = 'x' />  \n<e\tf='\t'/></m></r>",
        "<r><m" + manyAttributes + "/></r>",
        "<r><m a='1'b='2'/></r>",
        "<r><m a='1' a='2'/></r>",
        "<r><m a='1' b='2' c='3' a='4'/></r>",
        "<r><m a='<'/></r>",
        "<r><m a='&x;'/></r>",
        "<r><m a='&#0;'/></r>",
        "<r><m a='&#xD800;'/></r>",
        "<r><m a='&amp'/></r>",
        "<r><m a='\x01'/></r>",
        "<r><m a=1/></r>",
        "<r><m a/></r>",
        "<r><m a='1' = '2'/></r>",
        "<r><m a='1' -b='2'/></r>",
        "<r><m a='1' xmlns:a='2' xml:space='x'/></r>",
        "<m><c a='1' b='2'/><d></m>",
        "<m><c a='1'/> \n<d></m>",
        "<m><c a='1' b='2'/>x</m><d/>",
        "<m><c a='1'></c a='2'></m>",
        "<m><c a='1'></m>\n",
        "<m/>\n<d e='1'/>\n",
    };
    CXMLTokenFilter::Limits unchecked;
    unchecked.maxCheckedTagBytes = 0;
    for (const auto& xml : documents) {
        WriteFile(Path(), xml);
        CXMLStreamReader filtered;
        CXMLStreamReader parsed({}, unchecked);
        Recorder filteredEvents;
        Recorder parsedEvents;
        EXPECT_EQ(filtered.Read(Path().c_str(), filteredEvents), parsed.Read(Path().c_str(), parsedEvents)) << xml;
        EXPECT_EQ(filtered.Error(), parsed.Error()) << xml;
        EXPECT_EQ(filteredEvents.events, parsedEvents.events) << xml;
        EXPECT_EQ(filteredEvents.text, parsedEvents.text) << xml;
    }
}
