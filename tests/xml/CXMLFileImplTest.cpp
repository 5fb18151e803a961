#include <chrono>
#include <cstring>

#include <sys/stat.h>

#include <xercesc/dom/DOM.hpp>

#include "XmlTestSupport.h"
#include "xml/CXMLAttribute.h"
#include "xml/CXMLAttributes.h"

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

// ---- Parse results and the last error ----

using XmlParseTest = XmlFileTest;

TEST_F(XmlParseTest, WithoutFileNameFailsAndKeepsTheTree) {
    CXMLFileImpl file(nullptr);
    CXMLNode* root = file.CreateRootNode("map");
    EXPECT_FALSE(file.Parse());
    EXPECT_EQ(file.GetLastError(nullptr, 0), CXMLErrorCodes::NoFileSpecified);
    EXPECT_EQ(LastErrorText(file), "No file specified");
    EXPECT_EQ(file.GetRootNode(), root);
    auto named = Load("<a/>");
    named->SetFilename(nullptr);
    EXPECT_FALSE(named->Parse());
    EXPECT_EQ(named->GetLastError(nullptr, 0), CXMLErrorCodes::NoFileSpecified);
}

TEST_F(XmlParseTest, TruncatedMapFailsInsteadOfReadingAsCurrent) {
    auto file = OnFile("<map><meta><version>3</version></meta>");
    EXPECT_FALSE(file->Parse());
    EXPECT_EQ(file->GetLastError(nullptr, 0), CXMLErrorCodes::ParseError);
    EXPECT_EQ(file->GetRootNode(), nullptr);
    EXPECT_EQ(file->GetDocument(), nullptr);
}

TEST_F(XmlParseTest, EveryMalformedDocumentFails) {
    for (const char* xml : {"", "<a>", "<a></b>", "<a x='1' x='2'/>", "<a/><b/>", "<a>&undefined;</a>", "<a><</a>"}) {
        auto file = OnFile(xml);
        EXPECT_FALSE(file->Parse()) << xml;
        EXPECT_EQ(file->GetLastError(nullptr, 0), CXMLErrorCodes::ParseError) << xml;
    }
    CXMLFileImpl missing(Path("absent.xml").c_str());
    EXPECT_FALSE(missing.Parse());
    EXPECT_EQ(missing.GetLastError(nullptr, 0), CXMLErrorCodes::ParseError);
}

TEST_F(XmlParseTest, ValidityProblemsDoNotFail) {
    Load("<feed><item a='1'>x</item></feed>");  // no grammar at all
    auto file = Load("<!DOCTYPE a [<!ELEMENT a EMPTY>]><a><undeclared/></a>");
    EXPECT_EQ(file->GetRootNode()->GetSubNodeCount(), 1u);
}

TEST_F(XmlParseTest, ErrorTextNamesFileLineColumnAndMessage) {
    auto file = OnFile("<a>\n  <b>\n</a>", "broken.xml");
    ASSERT_FALSE(file->Parse());
    const std::string text = LastErrorText(*file);
    EXPECT_TRUE(StartsWith(text, Path("broken.xml") + ": line 3, column ")) << text;
    EXPECT_GT(text.size(), Path("broken.xml").size() + 25) << "parser message missing: " << text;
}

TEST_F(XmlParseTest, ErrorTextIsCutTo127Characters) {
    auto file = OnFile("<a>", std::string(200, 'n'));
    ASSERT_FALSE(file->Parse());
    char buffer[200];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(file->GetLastError(buffer, sizeof buffer), CXMLErrorCodes::ParseError);
    EXPECT_EQ(std::strlen(buffer), 127u);
}

TEST_F(XmlParseTest, SuccessAfterFailureClearsCodeButKeepsText) {
    auto file = OnFile("<a>");
    ASSERT_FALSE(file->Parse());
    const std::string failure = LastErrorText(*file);
    WriteFile(Path(), "<a/>");
    ASSERT_TRUE(file->Parse());
    EXPECT_EQ(file->GetLastError(nullptr, 0), CXMLErrorCodes::NoError);
    EXPECT_EQ(LastErrorText(*file), failure);
}

TEST_F(XmlParseTest, LastErrorArrivesWholeOrNotAtAll) {
    CXMLFileImpl file(nullptr);
    file.Parse();  // "No file specified": 17 characters
    char buffer[18] = "xxxxxxxxxxxxxxxxx";
    file.GetLastError(buffer, 17);
    EXPECT_STREQ(buffer, "");
    file.GetLastError(buffer, 18);
    EXPECT_STREQ(buffer, "No file specified");
}

// ---- The parser opens nothing named inside a document, and expansion is bounded ----

using XmlParseSafetyTest = XmlFileTest;

TEST_F(XmlParseSafetyTest, ExternalEntityFailsTheParseUnread) {
    auto file = OnFile("<!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a>&x;</a>");
    EXPECT_FALSE(file->Parse());
    EXPECT_EQ(file->GetRootNode(), nullptr);
}

TEST_F(XmlParseSafetyTest, ExternalDtdSubsetIsNeverRead) {
    WriteFile(Path("defaults.dtd"), "<!ATTLIST a fetched CDATA 'yes'>");
    auto file = Load("<!DOCTYPE a SYSTEM \"" + Path("defaults.dtd") + "\"><a/>");
    EXPECT_EQ(file->GetRootNode()->GetAttributes()->Count(), 0u);
}

TEST_F(XmlParseSafetyTest, XIncludeIsNotProcessed) {
    WriteFile(Path("part.xml"), "<secret>SECRET</secret>");
    auto file = Load("<a xmlns:xi='http://www.w3.org/2001/XInclude'><xi:include href='" + Path("part.xml") + "'/></a>");
    EXPECT_EQ(Content(file->GetRootNode()).find("SECRET"), std::string::npos);
}

TEST_F(XmlParseSafetyTest, BillionLaughsFailsFast) {
    std::string xml = "<!DOCTYPE z [<!ENTITY l0 'lollollollollollollollollollol'>";
    for (int i = 1; i <= 9; ++i) {
        std::string refs;
        for (int k = 0; k < 10; ++k) refs += "&l" + std::to_string(i - 1) + ";";
        xml += "<!ENTITY l" + std::to_string(i) + " '" + refs + "'>";
    }
    auto file = OnFile(xml + "]><z>&l9;</z>");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(file->Parse());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(file->GetLastError(nullptr, 0), CXMLErrorCodes::ParseError);
}

TEST_F(XmlParseSafetyTest, OrdinaryEntitiesStayWithinTheLimit) {
    std::string xml = "<!DOCTYPE feed [<!ENTITY who 'world'>]><feed>&who;";
    for (unsigned int i = 0; i < 3 * CXMLFileImpl::kEntityExpansionLimit; ++i) xml += "<item>a&amp;b&#65;</item>";
    auto file = Load(xml + "</feed>");
    EXPECT_EQ(file->GetRootNode()->GetSubNodeCount(), 3 * CXMLFileImpl::kEntityExpansionLimit);
    EXPECT_EQ(Content(file->GetRootNode()->GetSubNode(0)), "a&bA");
    EXPECT_TRUE(StartsWith(Content(file->GetRootNode()), "worlda&bA"));
}

// The tree, its teardown and the serialiser recurse per level: a deep document from the network
// must fail the parse, not overflow the stack.
TEST_F(XmlParseSafetyTest, NestingBeyondTheLimitFailsInsteadOfCrashing) {
    const auto nested = [](unsigned int depth) {
        std::string xml;
        for (unsigned int i = 0; i < depth; ++i) xml += "<a>";
        for (unsigned int i = 0; i < depth; ++i) xml += "</a>";
        return xml;
    };
    EXPECT_NE(Load(nested(CXMLFileImpl::kMaxNestingDepth))->GetRootNode(), nullptr);

    for (unsigned int depth : {CXMLFileImpl::kMaxNestingDepth + 1, 4 * CXMLFileImpl::kMaxNestingDepth}) {
        auto file = OnFile(nested(depth));
        EXPECT_FALSE(file->Parse());
        EXPECT_EQ(file->GetLastError(nullptr, 0), CXMLErrorCodes::ParseError);
        EXPECT_NE(LastErrorText(*file).find("nested deeper than 2048 levels"), std::string::npos)
            << LastErrorText(*file);
        EXPECT_EQ(file->GetRootNode(), nullptr);
    }
}

TEST_F(XmlParseTest, PrefixIsPartOfTheNameDeclaredOrNot) {
    auto undeclared = Load("<map editor:definitions='main'><meta><version>1</version></meta><ed:x/></map>");
    ASSERT_NE(undeclared->GetRootNode()->FindSubNode("META", 0), nullptr);
    EXPECT_EQ(TagName(undeclared->GetRootNode()->GetSubNode(1)), "ed:x");
    auto declared = Load("<m:map xmlns:m='urn:m'><m:meta/></m:map>");
    EXPECT_EQ(declared->GetRootNode()->FindSubNode("meta", 0), nullptr);
    EXPECT_NE(declared->GetRootNode()->FindSubNode("m:meta", 0), nullptr);
}

TEST_F(XmlParseSafetyTest, LargeEntityFailsBeforeItIsExpanded) {
    const std::string entity(CXMLStreamReader::kMaxEntityText + 1, 'x');
    auto file = OnFile("<!DOCTYPE a [<!ENTITY x '" + entity + "'>]><a>&x;&x;</a>");
    EXPECT_FALSE(file->Parse());
    EXPECT_NE(LastErrorText(*file).find("entity 'x' is longer than"), std::string::npos) << LastErrorText(*file);
}

TEST_F(XmlParseSafetyTest, FileNameIsNotTakenForAUrl) {
    for (const char* name : {"x#y.xml", "a%41b.xml"}) {
        auto file = Load("<a>local</a>", name);
        ASSERT_NE(file->GetRootNode(), nullptr) << name;
    }
}

// ---- Root creation and Clear ----

using XmlDocumentTest = XmlFileTest;

TEST_F(XmlDocumentTest, CreateRootNodeOnceAndRefusesBadNames) {
    CXMLFileImpl file(Path().c_str());
    EXPECT_EQ(file.CreateRootNode("1bad name"), nullptr);
    CXMLNode* root = file.CreateRootNode("map");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(file.GetRootNode(), root);
    EXPECT_EQ(file.CreateRootNode("other"), nullptr);
    ASSERT_TRUE(file.Write());
    EXPECT_EQ(ReadFile(Path()), "<map/>\n");
}

TEST_F(XmlDocumentTest, ClearRemovesRootAndWriteThenLeavesFileAlone) {
    auto file = Load("<map><meta/></map>");
    file->Clear();
    EXPECT_EQ(file->GetRootNode(), nullptr);
    EXPECT_EQ(file->GetDocument()->getDocumentElement(), nullptr);
    EXPECT_FALSE(file->Write());
    EXPECT_EQ(ReadFile(Path()), "<map><meta/></map>");
    EXPECT_NE(file->CreateRootNode("fresh"), nullptr);
}

// ---- Write ----

using XmlWriteTest = XmlFileTest;

TEST_F(XmlWriteTest, DropsDeclarationAndLeadingComment) {
    auto file = Load("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- generated -->\n<map a=\"1\"><v>3</v></map>");
    ASSERT_TRUE(file->Write());
    EXPECT_EQ(ReadFile(Path()), "<map a=\"1\">\n  <v>3</v>\n</map>\n");
}

TEST_F(XmlWriteTest, StaysStableOverRewrites) {
    auto file = Load("<map><meta><version>3</version></meta></map>");
    ASSERT_TRUE(file->Write());
    const std::string first = ReadFile(Path());
    for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(file->Parse() && file->Write());
    EXPECT_EQ(ReadFile(Path()), first);
}

TEST_F(XmlWriteTest, Latin1DocumentRoundTripsAsUtf8) {
    auto file = Load("<?xml version='1.0' encoding='ISO-8859-1'?><map><t>caf\xE9</t></map>");
    const std::string before = Content(file->GetRootNode()->GetSubNode(0));
    ASSERT_TRUE(file->Write());
    EXPECT_NE(ReadFile(Path()).find("caf\xC3\xA9"), std::string::npos) << ReadFile(Path());
    ASSERT_TRUE(file->Parse()) << LastErrorText(*file);
    EXPECT_EQ(Content(file->GetRootNode()->GetSubNode(0)), before);
}

// The written file has no document type, so nothing it declared may be left for a reader to
// resolve: entity references and default attributes are written out as text.
TEST_F(XmlWriteTest, DocumentTypeDeclarationsSurviveTheRewrite) {
    auto file = Load(
        "<!DOCTYPE map [<!ENTITY e 'E'><!ATTLIST map k CDATA 'def'>]>"
        "<map><name>x&e;y</name><meta><version>1</version></meta></map>");
    file->GetRootNode()->FindSubNode("meta", 0)->FindSubNode("version", 0)->SetTagContent(2u);
    ASSERT_TRUE(file->Write());

    ASSERT_TRUE(file->Parse()) << LastErrorText(*file) << "\n" << ReadFile(Path());
    EXPECT_EQ(Content(file->GetRootNode()->FindSubNode("name", 0)), "xEy");
    CXMLAttribute* k = file->GetRootNode()->GetAttributes()->Find("k");
    ASSERT_NE(k, nullptr) << ReadFile(Path());
    char value[8];
    k->GetValue(value, sizeof value);
    EXPECT_STREQ(value, "def");
}

// Indenting text that sits beside elements would change it and let it grow with every rewrite.
// Comments and processing instructions beside text count as markup too.
TEST_F(XmlWriteTest, MixedContentIsWrittenExactlyAndStaysStable) {
    const char* const documents[] = {
        "<map><note>a<b/>c</note><meta><version>1</version></meta></map>",
        "<r><?pi x?>\n t<![CDATA[x<y]]></r>",
        "<r>text<!-- note -->more</r>",
        "<r><?pi x?></r>",
        "<r>\n  <!-- note -->\n  <a/>\n</r>",
    };
    for (const char* document : documents) {
        auto file = Load(document);
        ASSERT_TRUE(file->Write());
        const std::string first = ReadFile(Path());
        EXPECT_EQ(first, std::string(document) + "\n");
        for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(file->Parse() && file->Write());
        EXPECT_EQ(ReadFile(Path()), first) << document;
    }
    auto file = Load("<map><note>a<b/>c</note></map>");
    EXPECT_EQ(Content(file->GetRootNode()->FindSubNode("note", 0)), "ac");
}

TEST_F(XmlWriteTest, WritesChangesMadeThroughTheTree) {
    auto file = Load("<map><meta><version>2</version></meta><junk/></map>");
    CXMLNode* root = file->GetRootNode();
    root->FindSubNode("meta", 0)->FindSubNode("version", 0)->SetTagContent(5);
    root->DeleteSubNode(root->FindSubNode("junk", 0));
    root->GetAttributes()->Set("id", "m1");
    ASSERT_TRUE(file->Write());
    EXPECT_EQ(ReadFile(Path()), "<map id=\"m1\">\n  <meta>\n    <version>5</version>\n  </meta>\n</map>\n");
}

TEST_F(XmlWriteTest, NonexistentDirectoryFailsAndLeavesNothing) {
    CXMLFileImpl file(Path("missing/out.xml").c_str());
    file.CreateRootNode("a");
    EXPECT_FALSE(file.Write());
    EXPECT_TRUE(m_dir.List().empty());
}

TEST_F(XmlWriteTest, ReplacesWithoutLeftoversAndFailsWithoutDamage) {
    auto file = Load("<map/>");
    file->GetRootNode()->CreateSubNode("new");
    ASSERT_TRUE(file->Write());
    EXPECT_EQ(m_dir.List(), std::vector<std::string>{"doc.xml"});
    // A directory in the target's place: the final rename fails.
    ASSERT_EQ(::mkdir(Path("sub").c_str(), 0755), 0);
    WriteFile(Path("sub/keep"), "x");
    file->SetFilename(Path("sub").c_str());
    EXPECT_FALSE(file->Write());
    EXPECT_EQ(m_dir.List(), (std::vector<std::string>{"doc.xml", "sub"}));
    EXPECT_EQ(ReadFile(Path("sub/keep")), "x");
}

TEST_F(XmlWriteTest, KeepsThePermissionsOfTheReplacedFile) {
    auto file = Load("<map/>");
    ASSERT_EQ(::chmod(Path().c_str(), 0640), 0);
    ASSERT_TRUE(file->Write());
    struct stat info;
    ASSERT_EQ(::stat(Path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}
