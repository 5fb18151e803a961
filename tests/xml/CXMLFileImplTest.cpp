#include <chrono>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "XmlTestSupport.h"
#include "xml/CXMLImpl.h"

#include <xercesc/dom/DOM.hpp>

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

// ---- Parse results and the last error ----

using XmlParseTest = XmlFileTest;

TEST_F(XmlParseTest, NullNameFailsWithNoFileSpecifiedAndKeepsTheTree) {
    CXMLFileImpl file(nullptr);
    CXMLNode* root = file.CreateRootNode("map");
    ASSERT_NE(root, nullptr);
    EXPECT_FALSE(file.Parse());
    EXPECT_EQ(file.GetLastError(nullptr, 0), CXMLErrorCodes::NoFileSpecified);
    EXPECT_EQ(LastErrorText(file), "No file specified");
    EXPECT_EQ(file.GetRootNode(), root);
}

TEST_F(XmlParseTest, SetFilenameNullThenParseFailsTheSameWay) {
    auto file = Load("<a/>");
    file->SetFilename(nullptr);
    EXPECT_EQ(file->GetFilename(), nullptr);
    EXPECT_FALSE(file->Parse());
    EXPECT_EQ(file->GetLastError(nullptr, 0), CXMLErrorCodes::NoFileSpecified);
    EXPECT_NE(file->GetRootNode(), nullptr);
}

TEST_F(XmlParseTest, TruncatedMapFailsInsteadOfReadingAsCurrent) {
    auto file = OnFile("<map><meta><version>3</version></meta>");
    EXPECT_FALSE(file->Parse());
    EXPECT_EQ(file->GetLastError(nullptr, 0), CXMLErrorCodes::ParseError);
    EXPECT_EQ(file->GetRootNode(), nullptr);
    EXPECT_EQ(file->GetDocument(), nullptr);
}

TEST_F(XmlParseTest, EveryKindOfMalformedDocumentFails) {
    const char* const broken[] = {
        "", "<a>", "<a></b>", "<a x='1' x='2'/>", "<a/><b/>", "<a>&undefined;</a>", "<a><</a>", "text only",
    };
    for (const char* xml : broken) {
        auto file = OnFile(xml);
        EXPECT_FALSE(file->Parse()) << xml;
        EXPECT_EQ(file->GetLastError(nullptr, 0), CXMLErrorCodes::ParseError) << xml;
    }
}

TEST_F(XmlParseTest, DocumentWithoutGrammarIsNotAValidityFailure) {
    auto file = Load("<?xml version='1.0'?>\n<feed><item a='1'>x</item></feed>");
    ASSERT_NE(file->GetRootNode(), nullptr);
    EXPECT_EQ(file->GetLastError(nullptr, 0), CXMLErrorCodes::NoError);
}

TEST_F(XmlParseTest, InvalidAgainstItsOwnDtdStillParses) {
    auto file = Load("<!DOCTYPE a [<!ELEMENT a EMPTY>]><a><undeclared/></a>");
    ASSERT_NE(file->GetRootNode(), nullptr);
    EXPECT_EQ(file->GetRootNode()->GetSubNodeCount(), 1u);
}

TEST_F(XmlParseTest, ErrorTextNamesFileLineColumnAndMessage) {
    auto file = OnFile("<a>\n  <b>\n</a>", "broken.xml");
    ASSERT_FALSE(file->Parse());
    const std::string text = LastErrorText(*file);
    EXPECT_TRUE(StartsWith(text, Path("broken.xml") + ": line 3, column ")) << text;
    EXPECT_NE(text, "TODO");
    EXPECT_GT(text.size(), Path("broken.xml").size() + 20) << "parser message missing: " << text;
}

TEST_F(XmlParseTest, ErrorTextIsCutTo127Characters) {
    const std::string longName(200, 'n');
    auto file = OnFile("<a>", longName);
    ASSERT_FALSE(file->Parse());
    char buffer[200];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(file->GetLastError(buffer, sizeof buffer), CXMLErrorCodes::ParseError);
    EXPECT_EQ(std::strlen(buffer), 127u);
}

TEST_F(XmlParseTest, MissingFileFailsWithParseError) {
    CXMLFileImpl file(Path("absent.xml").c_str());
    EXPECT_FALSE(file.Parse());
    EXPECT_EQ(file.GetLastError(nullptr, 0), CXMLErrorCodes::ParseError);
    EXPECT_TRUE(StartsWith(LastErrorText(file), Path("absent.xml") + ":")) << LastErrorText(file);
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
    char buffer[18];
    std::memset(buffer, 'x', sizeof buffer);
    file.GetLastError(buffer, 17);
    EXPECT_STREQ(buffer, "");
    file.GetLastError(buffer, 18);
    EXPECT_STREQ(buffer, "No file specified");
}

TEST_F(XmlParseTest, SecondParseReplacesTreeAndDocument) {
    auto file = Load("<first><x/></first>");
    WriteFile(Path(), "<second><y/><z/></second>");
    ASSERT_TRUE(file->Parse());
    EXPECT_EQ(TagName(file->GetRootNode()), "second");
    EXPECT_EQ(file->GetRootNode()->GetSubNodeCount(), 2u);
}

// ---- The parser opens nothing named inside a document, and expansion is bounded ----

using XmlParseSafetyTest = XmlFileTest;

TEST_F(XmlParseSafetyTest, ExternalEntityIsNeverRead) {
    WriteFile(Path("secret.txt"), "SECRET-MARKER");
    auto file = OnFile("<!DOCTYPE a [<!ENTITY x SYSTEM \"file://" + Path("secret.txt") + "\">]><a>&x;</a>");
    // Decision: a document that needs an external entity cannot be read faithfully and fails.
    EXPECT_FALSE(file->Parse());
    EXPECT_EQ(file->GetLastError(nullptr, 0), CXMLErrorCodes::ParseError);
    EXPECT_EQ(file->GetRootNode(), nullptr);
    EXPECT_EQ(LastErrorText(*file).find("SECRET"), std::string::npos);
}

TEST_F(XmlParseSafetyTest, EtcPasswdEntityIsNeverRead) {
    auto file = OnFile("<!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a>&x;</a>");
    EXPECT_FALSE(file->Parse());
    EXPECT_EQ(file->GetRootNode(), nullptr);
}

TEST_F(XmlParseSafetyTest, ExternalEntityInAttributeOrUnusedIsHarmless) {
    // Declared but never referenced: nothing to fetch, the document is fine.
    auto file = Load("<!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a>ok</a>");
    EXPECT_EQ(Content(file->GetRootNode()), "ok");
}

TEST_F(XmlParseSafetyTest, ExternalDtdSubsetIsNeverRead) {
    WriteFile(Path("defaults.dtd"), "<!ATTLIST a fetched CDATA 'yes'>");
    auto file = Load("<!DOCTYPE a SYSTEM \"" + Path("defaults.dtd") + "\"><a/>");
    ASSERT_NE(file->GetRootNode(), nullptr);
    EXPECT_EQ(file->GetRootNode()->GetAttributes()->Count(), 0u);
}

TEST_F(XmlParseSafetyTest, XIncludeIsNotProcessed) {
    WriteFile(Path("part.xml"), "<secret>SECRET-MARKER</secret>");
    auto file = Load("<a xmlns:xi='http://www.w3.org/2001/XInclude'><xi:include href='" + Path("part.xml") +
                     "'/></a>");
    EXPECT_EQ(Content(file->GetRootNode()).find("SECRET"), std::string::npos);
    EXPECT_EQ(file->GetRootNode()->FindSubNode("secret", 0), nullptr);
}

TEST_F(XmlParseSafetyTest, BillionLaughsFailsFast) {
    std::string xml = "<!DOCTYPE lolz [<!ENTITY lol0 'lollollollollollollollollollol'>";
    for (int i = 1; i <= 9; ++i)
        xml += "<!ENTITY lol" + std::to_string(i) + " '" + [i] {
            std::string refs;
            for (int k = 0; k < 10; ++k)
                refs += "&lol" + std::to_string(i - 1) + ";";
            return refs;
        }() + "'>";
    xml += "]><lolz>&lol9;</lolz>";
    auto file = OnFile(xml);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(file->Parse());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(file->GetLastError(nullptr, 0), CXMLErrorCodes::ParseError);
}

TEST_F(XmlParseSafetyTest, FewInternalEntitiesAreStillExpanded) {
    auto file = Load("<!DOCTYPE a [<!ENTITY who 'world'>]><a>hello &who;</a>");
    EXPECT_EQ(Content(file->GetRootNode()), "hello world");
}

TEST_F(XmlParseSafetyTest, PredefinedEntitiesAreNotCountedAgainstTheLimit) {
    std::string xml = "<feed>";
    for (unsigned int i = 0; i < 3 * CXMLFileImpl::kEntityExpansionLimit; ++i)
        xml += "<item>a&amp;b&#65;</item>";
    xml += "</feed>";
    auto file = Load(xml);
    ASSERT_NE(file->GetRootNode(), nullptr);
    EXPECT_EQ(file->GetRootNode()->GetSubNodeCount(), 3 * CXMLFileImpl::kEntityExpansionLimit);
    EXPECT_EQ(Content(file->GetRootNode()->GetSubNode(0)), "a&bA");
}

TEST_F(XmlParseSafetyTest, FileNameIsNotTakenForAUrl) {
    for (const char* name : {"x#y.xml", "a%41b.xml"}) {
        auto file = Load("<a>local</a>", name);
        ASSERT_NE(file->GetRootNode(), nullptr) << name;
        EXPECT_EQ(Content(file->GetRootNode()), "local");
    }
}

// ---- Root creation, Clear and Reset ----

using XmlDocumentTest = XmlFileTest;

TEST_F(XmlDocumentTest, CreateRootNodeMakesTheDocumentElementOnce) {
    CXMLFileImpl file(Path().c_str());
    CXMLNode* root = file.CreateRootNode("map");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(file.GetRootNode(), root);
    EXPECT_EQ(file.CreateRootNode("other"), nullptr);
    ASSERT_TRUE(file.Write());
    EXPECT_EQ(ReadFile(Path()).find("other"), std::string::npos);
    EXPECT_NE(ReadFile(Path()).find("<map"), std::string::npos);
}

TEST_F(XmlDocumentTest, CreateRootNodeWithRefusedNameReturnsNull) {
    CXMLFileImpl file(Path().c_str());
    EXPECT_EQ(file.CreateRootNode("1bad name"), nullptr);
    EXPECT_EQ(file.GetRootNode(), nullptr);
    EXPECT_NE(file.CreateRootNode("good"), nullptr);
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

TEST_F(XmlDocumentTest, ResetDropsDocumentAndTree) {
    auto file = Load("<a/>");
    file->Reset();
    EXPECT_EQ(file->GetRootNode(), nullptr);
    EXPECT_EQ(file->GetDocument(), nullptr);
    EXPECT_FALSE(file->Write());
}

TEST_F(XmlDocumentTest, SetFilenameRedirectsParseAndWrite) {
    WriteFile(Path("one.xml"), "<one/>");
    WriteFile(Path("two.xml"), "<two/>");
    CXMLFileImpl file(Path("one.xml").c_str());
    file.SetFilename(Path("two.xml").c_str());
    ASSERT_TRUE(file.Parse());
    EXPECT_EQ(TagName(file.GetRootNode()), "two");
    file.SetFilename(file.GetFilename());
    EXPECT_EQ(std::string(file.GetFilename()), Path("two.xml"));
}

TEST(XmlFactoryTest, CreatesAndDeletesDocuments) {
    CXMLImpl factory;
    CXMLFile* file = factory.CreateXML("name.xml");
    ASSERT_NE(file, nullptr);
    EXPECT_STREQ(file->GetFilename(), "name.xml");
    factory.DeleteXML(file);
    factory.DeleteXML(nullptr);
}

// ---- Write ----

using XmlWriteTest = XmlFileTest;

TEST_F(XmlWriteTest, DropsDeclarationAndLeadingComment) {
    auto file = Load("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- generated -->\n<map a=\"1\"><v>3</v></map>");
    ASSERT_TRUE(file->Write());
    const std::string written = ReadFile(Path());
    EXPECT_TRUE(StartsWith(written, "<map")) << written;
    EXPECT_EQ(written.find("<?xml"), std::string::npos);
    EXPECT_EQ(written.find("generated"), std::string::npos);
    auto again = Load(written, "again.xml");
    EXPECT_EQ(Content(again->GetRootNode()->FindSubNode("v", 0)), "3");
}

TEST_F(XmlWriteTest, IndentsAndStaysStableOverRewrites) {
    auto file = Load("<map a=\"1\"><meta><version>3</version></meta></map>");
    ASSERT_TRUE(file->Write());
    const std::string first = ReadFile(Path());
    EXPECT_EQ(first, "<map a=\"1\">\n  <meta>\n    <version>3</version>\n  </meta>\n</map>\n");
    for (int pass = 0; pass < 3; ++pass) {
        ASSERT_TRUE(file->Parse());
        ASSERT_TRUE(file->Write());
    }
    EXPECT_EQ(ReadFile(Path()), first);
}

TEST_F(XmlWriteTest, Latin1DocumentRoundTripsAsUtf8) {
    auto file = Load(std::string("<?xml version='1.0' encoding='ISO-8859-1'?><map><t>caf\xE9</t></map>"));
    const std::string before = Content(file->GetRootNode()->GetSubNode(0));
    ASSERT_TRUE(file->Write());
    const std::string written = ReadFile(Path());
    EXPECT_NE(written.find("caf\xC3\xA9"), std::string::npos) << "not UTF-8: " << written;
    CXMLFileImpl reread(Path().c_str());
    ASSERT_TRUE(reread.Parse()) << LastErrorText(reread);
    EXPECT_EQ(Content(reread.GetRootNode()->GetSubNode(0)), before);
}

TEST_F(XmlWriteTest, WritesChangesMadeThroughTheTree) {
    auto file = Load("<map><meta><version>2</version></meta><junk/></map>");
    CXMLNode* root = file->GetRootNode();
    root->FindSubNode("meta", 0)->FindSubNode("version", 0)->SetTagContent(5);
    root->DeleteSubNode(root->FindSubNode("junk", 0));
    root->GetAttributes()->Set("id", "m1");
    ASSERT_TRUE(file->Write());
    auto again = Load(ReadFile(Path()), "again.xml");
    CXMLNode* meta = again->GetRootNode()->FindSubNode("meta", 0);
    ASSERT_NE(meta, nullptr);
    int version = 0;
    EXPECT_TRUE(meta->FindSubNode("version", 0)->GetTagContent(version));
    EXPECT_EQ(version, 5);
    EXPECT_EQ(again->GetRootNode()->FindSubNode("junk", 0), nullptr);
    EXPECT_NE(again->GetRootNode()->GetAttributes()->Find("id"), nullptr);
}

TEST_F(XmlWriteTest, NonexistentDirectoryFailsAndLeavesNothing) {
    CXMLFileImpl file(Path("missing/dir/out.xml").c_str());
    ASSERT_NE(file.CreateRootNode("a"), nullptr);
    EXPECT_FALSE(file.Write());
    EXPECT_TRUE(m_dir.List().empty());
}

TEST_F(XmlWriteTest, ReplacesAtomicallyWithoutLeftovers) {
    auto file = Load("<map><old/></map>");
    file->GetRootNode()->CreateSubNode("new");
    ASSERT_TRUE(file->Write());
    EXPECT_EQ(m_dir.List(), std::vector<std::string>{"doc.xml"});
    EXPECT_NE(ReadFile(Path()).find("<new/>"), std::string::npos);
}

TEST_F(XmlWriteTest, FailedReplaceKeepsOldFileAndLeavesNoTemporary) {
    WriteFile(Path(), "<map/>");
    // A directory in the target's place: the rename at the end must fail.
    CXMLFileImpl blocked((m_dir.Path() + "/sub").c_str());
    ASSERT_EQ(::mkdir(Path("sub").c_str(), 0755), 0);
    WriteFile(Path("sub/keep"), "x");
    ASSERT_NE(blocked.CreateRootNode("a"), nullptr);
    EXPECT_FALSE(blocked.Write());
    EXPECT_EQ(m_dir.List(), (std::vector<std::string>{"doc.xml", "sub"}));
    EXPECT_EQ(ReadFile(Path("sub/keep")), "x");
}

TEST_F(XmlWriteTest, ReadOnlyDirectoryFailsAndOldFileIsUntouched) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root ignores directory permissions";
    auto file = Load("<map><old/></map>");
    file->GetRootNode()->CreateSubNode("new");
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0555), 0);
    EXPECT_FALSE(file->Write());
    ::chmod(m_dir.Path().c_str(), 0755);
    EXPECT_EQ(ReadFile(Path()), "<map><old/></map>");
    EXPECT_EQ(m_dir.List(), std::vector<std::string>{"doc.xml"});
}

TEST_F(XmlWriteTest, KeepsThePermissionsOfTheReplacedFile) {
    auto file = Load("<map/>");
    ASSERT_EQ(::chmod(Path().c_str(), 0640), 0);
    ASSERT_TRUE(file->Write());
    struct stat info;
    ASSERT_EQ(::stat(Path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(XmlWriteTest, WriteNeverChangesTheLastError) {
    CXMLFileImpl file(nullptr);
    file.Parse();
    file.CreateRootNode("a");
    EXPECT_FALSE(file.Write());  // no file name
    EXPECT_EQ(file.GetLastError(nullptr, 0), CXMLErrorCodes::NoFileSpecified);
}
