#include <cstring>

#include <xercesc/dom/DOM.hpp>

#include "XmlTestSupport.h"
#include "xml/CXMLAttribute.h"
#include "xml/CXMLAttributes.h"
#include "xml/CXMLNodeImpl.h"
#include "xml/CXMLTranscoder.h"
#include "xml/CXString.h"

using namespace XERCES_CPP_NAMESPACE;

class XmlAttributesTest : public XmlFileTest {
protected:
    void SetUp() override {
        m_file = Load("<r width='5' Name='x'><plain/></r>");
        m_attributes = m_file->GetRootNode()->GetAttributes();
    }
    // The attribute as the element holds it, or "(none)".
    std::string InElement(const char* name) const {
        const DOMAttr* attribute =
            static_cast<CXMLNodeImpl*>(m_file->GetRootNode())->GetElement()->getAttributeNode(CXString(name));
        return attribute ? CXMLTranscoder(attribute->getValue()).localForm() : "(none)";
    }
    std::string Value(const CXMLAttribute* attribute) const {
        char buffer[64];
        attribute->GetValue(buffer, sizeof buffer);
        return buffer;
    }

    std::unique_ptr<CXMLFileImpl> m_file;
    CXMLAttributes* m_attributes = nullptr;
};

TEST_F(XmlAttributesTest, ElementWithoutAttributesIsEmpty) {
    CXMLAttributes* none = m_file->GetRootNode()->GetSubNode(0)->GetAttributes();
    EXPECT_EQ(none->Count(), 0u);
    EXPECT_EQ(none->Get(0), nullptr);
    EXPECT_EQ(none->Find("a"), nullptr);
    none->DeleteAll();
}

TEST_F(XmlAttributesTest, GetByIndexAndFindIgnoringCase) {
    ASSERT_EQ(m_attributes->Count(), 2u);
    EXPECT_NE(m_attributes->Get(1), nullptr);
    EXPECT_EQ(m_attributes->Get(2), nullptr);
    CXMLAttribute* named = m_attributes->Find("name");
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(Value(named), "x");
    EXPECT_EQ(m_attributes->Find("NAME"), named);
    EXPECT_EQ(m_attributes->Find("missing"), nullptr);
}

TEST_F(XmlAttributesTest, BufferRuleOnNameAndValue) {
    CXMLAttribute* width = m_attributes->Find("width");
    char buffer[11] = "xxxxxxxxxx";
    width->GetName(buffer, 4);
    EXPECT_EQ(std::string(buffer, 5), std::string("wid\0x", 5));
    width->GetValue(buffer, 1);
    EXPECT_EQ(std::string(buffer, 2), std::string("\0i", 2));
    std::memset(buffer, 'x', 10);
    width->GetValue(buffer, 10);
    EXPECT_EQ(std::string(buffer, 10), std::string("5\0\0\0\0\0\0\0\0\0", 10));
}

TEST_F(XmlAttributesTest, SetReplacesValueSeenByItsWrapperAndAddsWithoutWrapper) {
    m_attributes->Set("width", 7);
    EXPECT_EQ(Value(m_attributes->Find("width")), "7");
    m_attributes->Set("height", "3");
    EXPECT_EQ(InElement("height"), "3");
    EXPECT_EQ(m_attributes->Count(), 2u);
    EXPECT_EQ(m_attributes->Find("height"), nullptr);
}

TEST_F(XmlAttributesTest, TypedSetsStoreTheirTextForms) {
    const std::pair<void (*)(CXMLAttributes*), const char*> cases[] = {
        {[](CXMLAttributes* a) { a->Set("v", true); }, "1"},
        {[](CXMLAttributes* a) { a->Set("v", false); }, "0"},
        {[](CXMLAttributes* a) { a->Set("v", -5); }, "-5"},
        {[](CXMLAttributes* a) { a->Set("v", 4294967295u); }, "4294967295"},
        {[](CXMLAttributes* a) { a->Set("v", 1.5f); }, "1.500000"},
        {[](CXMLAttributes* a) { a->Set("v", 0.1f); }, "0.100000"},
        {[](CXMLAttributes* a) { a->Setf("v", "%s-%d", "a", 3); }, "a-3"},
    };
    for (const auto& [set, expected] : cases) {
        set(m_attributes);
        EXPECT_EQ(InElement("v"), expected);
    }
}

TEST_F(XmlAttributesTest, WrapperSettersChangeTheElement) {
    CXMLAttribute* width = m_attributes->Find("width");
    width->SetValue(true);
    EXPECT_EQ(InElement("width"), "1");
    width->SetValue(3000000000u);
    EXPECT_EQ(InElement("width"), "3000000000");
    width->SetValue(2.25f);
    EXPECT_EQ(InElement("width"), "2.250000");
    width->SetValuef("%s-%d", "b", 4);
    EXPECT_EQ(InElement("width"), "b-4");
}

TEST_F(XmlAttributesTest, RefusedNameChangesNothing) {
    m_attributes->Set("bad name", "v");
    m_attributes->Set("1x", 5);
    m_attributes->Set("", "v");
    EXPECT_EQ(static_cast<CXMLNodeImpl*>(m_file->GetRootNode())->GetElement()->getAttributes()->getLength(), 2u);
}

TEST_F(XmlAttributesTest, DeleteRemovesFromElementAndKeepsOrder) {
    const CXMLAttribute* second = m_attributes->Get(1);
    char name[16];
    m_attributes->Get(0)->GetName(name, sizeof name);
    m_attributes->Delete(m_attributes->Get(0));
    m_attributes->Delete(nullptr);
    EXPECT_EQ(m_attributes->Count(), 1u);
    EXPECT_EQ(m_attributes->Get(0), second);
    EXPECT_EQ(InElement(name), "(none)");
}

TEST_F(XmlAttributesTest, DeleteAllKeepsAttributesAddedSinceTheBuild) {
    m_attributes->Set("added", "yes");
    m_attributes->DeleteAll();
    EXPECT_EQ(m_attributes->Count(), 0u);
    EXPECT_EQ(InElement("width") + InElement("Name"), "(none)(none)");
    EXPECT_EQ(InElement("added"), "yes");
}

TEST_F(XmlAttributesTest, DroppingTheWrappersKeepsAttributesInTheFile) {
    m_file->GetRootNode()->CreateSubNode("more");
    ASSERT_TRUE(m_file->Write());
    ASSERT_TRUE(m_file->Parse());  // drops the old wrapper tree first
    ASSERT_TRUE(m_file->Write());
    EXPECT_EQ(ReadFile(Path()), "<r Name=\"x\" width=\"5\">\n  <plain/>\n  <more/>\n</r>\n");
}
