#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <xercesc/util/PlatformUtils.hpp>

#include "fs/CAtomicFile.h"
#include "support/TempDir.h"
#include "xml/CMapVersionRecord.h"
#include "xml/CMapVersionStamp.h"

namespace {

// The same text as UTF-16 (each byte taken as a Latin-1 character), with a byte order mark.
std::string Utf16(const std::string& text, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : text) {
        out.push_back(bigEndian ? '\0' : c);
        out.push_back(bigEndian ? c : '\0');
    }
    return out;
}

struct StampCase {
    const char* what;
    std::string before;
    std::string after;
};

const char kDecl[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";
// Well-formed XML 1.1 whose first tags end in a NEL (C2 85).
const char kXml11[] =
    "<?xml version=\"1.1\"?><map><a\xC2\x85"
    "b='/'>'<!--</a></a><meta><version>--><x/><!--</version></meta>--></a>"
    "<meta><version>1</version></meta></map>";

std::vector<StampCase> Cases() {
    const std::string latin1 = "<?xml version='1.0' encoding='ISO-8859-1'?>\n<map n='\xE9t\xE9'>";
    const std::string wide = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<map n=\"\xE9\"><meta>";
    return {
        {"plain", "<map><meta><version>1</version></meta></map>", "<map><meta><version>7</version></meta></map>"},
        {"declaration, CRLF, markup in comments and attributes, mixed version text",
         std::string(kDecl) +
             "<!-- <meta><version>1</version></meta> -->\r\n<map a=\"/>\" b='>'>\r\n"
             "  <meta>\r\n    <version> <!--2--> <![CDATA[1]]>&#50; </version>\r\n  </meta>\r\n</map>\r\n",
         std::string(kDecl) + "<!-- <meta><version>1</version></meta> -->\r\n<map a=\"/>\" b='>'>\r\n"
                              "  <meta>\r\n    <version>7</version>\r\n  </meta>\r\n</map>\r\n"},
        {"empty version", "<map><meta><Version a='/'/></meta></map>",
         "<map><meta><Version a='/'>7</Version></meta></map>"},
        {"empty meta", "<map><META /></map>", "<map><META ><version>7</version></META></map>"},
        {"meta without version", "<map><meta><author>x</author>\n</meta></map>",
         "<map><meta><author>x</author>\n<version>7</version></meta></map>"},
        {"byte order mark", "\xEF\xBB\xBF<map><meta><version>1</version></meta></map>",
         "\xEF\xBB\xBF<map><meta><version>7</version></meta></map>"},
        {"ISO-8859-1", latin1 + "<meta><version>1</version></meta></map>",
         latin1 + "<meta><version>7</version></meta></map>"},
        {"UTF-16LE", Utf16(wide + "<version>12</version></meta></map>", false),
         Utf16(wide + "<version>7</version></meta></map>", false)},
        {"UTF-16BE", Utf16(wide + "<version/></meta></map>", true),
         Utf16(wide + "<version>7</version></meta></map>", true)},
        {"a long s makes another name",
         "<map><meta><ver\xC5\xBFion>5</ver\xC5\xBFion><version>1</version></meta></map>",
         "<map><meta><ver\xC5\xBFion>5</ver\xC5\xBFion><version>7</version></meta></map>"},
        {"only the root's first meta and its first version",
         "<map><x><meta><version>1</version></meta></x><meta><version>2</version><version>3</version></meta>"
         "<meta><version>4</version></meta></map>",
         "<map><x><meta><version>1</version></meta></x><meta><version>7</version><version>3</version></meta>"
         "<meta><version>4</version></meta></map>"},
        {"CDATA, processing instruction and prefixed names are not the record",
         "<map e:x='1'><![CDATA[<meta><version>1</version></meta>]]><?pi <meta> ?><e:meta/><meta><version>"
         "<version>5</version></version></meta></map>",
         "<map e:x='1'><![CDATA[<meta><version>1</version></meta>]]><?pi <meta> ?><e:meta/><meta><version>7"
         "</version></meta></map>"},
        {"document type with brackets, quotes and comments",
         "<!DOCTYPE map [<!ENTITY e \"]>\"><!-- ' \" ]> --><!ATTLIST map a CDATA '>'>]><map>&lt;<x>&e;</x><meta>"
         "<version>1</version></meta></map>",
         "<!DOCTYPE map [<!ENTITY e \"]>\"><!-- ' \" ]> --><!ATTLIST map a CDATA '>'>]><map>&lt;<x>&e;</x><meta>"
         "<version>7</version></meta></map>"},
    };
}

class MapStampTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { xercesc::XMLPlatformUtils::Initialize(); }

    // Stamps the map file holding bytes; returns the new file's bytes, or "" when not located.
    std::string Stamp(const std::string& bytes, unsigned int version, std::string* reason = nullptr) {
        WriteFile(m_dir.File("in.map"), bytes);
        CMapVersionStamp stamp;
        const bool located = stamp.Locate(m_dir.File("in.map").c_str(), version);
        if (reason) *reason = stamp.Reason();
        CAtomicFile out(m_dir.File("out.map"));
        EXPECT_TRUE(out.Open() && stamp.CopyTo(out) && out.Commit()) << stamp.Reason();
        return located ? ReadFile(m_dir.File("out.map")) : "";
    }

    TempDir m_dir;
};

}  // namespace

TEST_F(MapStampTest, RewritesOnlyTheVersionRecordAndIsIdempotent) {
    for (const StampCase& c : Cases()) {
        CMapVersionRecord parsed;
        WriteFile(m_dir.File("check.map"), c.before);
        ASSERT_TRUE(parsed.Read(m_dir.File("check.map").c_str())) << c.what << ": " << parsed.Error();

        const std::string stamped = Stamp(c.before, 7);
        EXPECT_EQ(stamped, c.after) << c.what;
        EXPECT_EQ(Stamp(stamped, 7), c.after) << c.what << " (second stamp)";

        CMapVersionRecord record;
        ASSERT_TRUE(record.Read(m_dir.File("out.map").c_str())) << c.what << ": " << record.Error();
        EXPECT_TRUE(record.HasVersion()) << c.what;
        EXPECT_EQ(record.Version(), 7) << c.what;
    }
}

TEST_F(MapStampTest, RecordThatCannotBeTakenLeavesTheCopyUnchanged) {
    const struct {
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"<map><other/></map>", "no meta element"},
        {"<map/>", "no meta element"},
        {"<!DOCTYPE map [<!ENTITY m '<meta><version>1</version></meta>'>]><map>&m;</map>",
         "the version record may come from an entity"},
        {"<?xml version='1.0' encoding='Shift_JIS'?><map><meta/></map>", "encoding shift_jis not supported"},
        // XML 1.1 reads NEL (U+0085) and LINE SEPARATOR as line breaks, so they end a name: here the
        // record would go over the end of a comment, and the map would no longer be a document.
        {kXml11, "XML version 1.1 not supported"},
        {Utf16("<?xml version='1.1' encoding='UTF-16'?><map><meta\x85><version>1</version></meta><meta/></map>", false),
         "XML version 1.1 not supported"},
    };
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_EQ(Stamp(c.bytes, 3, &reason), "") << c.bytes;
        EXPECT_EQ(reason, c.reason) << c.bytes;
        EXPECT_EQ(ReadFile(m_dir.File("out.map")), c.bytes);
    }
}

// A body stamped as it arrives, in pieces of any size, asking after each whether the record is
// decided: the same bytes and the same verdict as a stamp of the whole file. Each document is
// padded past the first kilobyte in its own encoding, so the verdict comes before its end.
TEST_F(MapStampTest, BodyStampedWhileItArrivesMatchesTheStampedFile) {
    std::vector<std::string> documents = {"<map><other/></map>", "<map/>",
                                          "<!DOCTYPE map [<!ENTITY m '<meta/>'>]><map>&m;</map>",
                                          "<?xml version='1.0' encoding='Shift_JIS'?><map><meta/></map>", kXml11};
    for (const StampCase& c : Cases()) documents.push_back(c.before);
    for (const std::string& document : documents) {
        const std::string pad = "\n<!--" + std::string(2000, ' ') + "-->\n";
        const bool wide = document.compare(0, 2, "\xFF\xFE") == 0 || document.compare(0, 2, "\xFE\xFF") == 0;
        const std::string body = document + (wide ? Utf16(pad, document[0] == '\xFE').substr(2) : pad);
        std::string reason;
        const bool located = !Stamp(body, 7, &reason).empty();
        const std::string copied = ReadFile(m_dir.File("out.map"));
        for (std::size_t piece : {1, 700}) {
            CMapVersionStamp stamp;
            CAtomicFile out(m_dir.File("streamed.map"));
            ASSERT_TRUE(out.Open());
            std::string held;
            bool decided = false;
            for (std::size_t at = 0; at < body.size(); at += piece) {
                const std::string bytes = body.substr(at, piece);
                if (decided) {
                    ASSERT_TRUE(stamp.Write(bytes.data(), bytes.size(), out));
                    continue;
                }
                held += bytes;
                decided = stamp.Decide(held.data(), held.size(), false, 7) == CMapVersionStamp::Verdict::Decided;
                if (decided) {
                    ASSERT_TRUE(stamp.Write(held.data(), held.size(), out));
                }
            }
            ASSERT_TRUE(decided) << document;
            ASSERT_TRUE(out.Commit());
            EXPECT_EQ(copied, ReadFile(m_dir.File("streamed.map"))) << document << " in pieces of " << piece;
            EXPECT_EQ(located, stamp.Located()) << document;
            EXPECT_EQ(reason, stamp.Reason()) << document;
        }
    }
}
