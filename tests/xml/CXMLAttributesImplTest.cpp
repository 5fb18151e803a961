#include <cstring>

#include "XmlTestSupport.h"
#include "xml/CXMLAttribute.h"
#include "xml/CXMLAttributes.h"
#include "xml/CXMLNodeImpl.h"
#include "xml/CXString.h"

#include <xercesc/dom/DOM.hpp>

using namespace XERCES_CPP_NAMESPACE;

namespace {

std::string Name(const CXMLAttribute* attribute) {
    char buffer[64];
    attribute->GetName(buffer, sizeof buffer);
    return buffer;
}

std::string Value(const CXMLAttribute* attribute) {
    char buffer[64];
    attribute->GetValue(buffer, sizeof buffer);
    return buffer;
}

}  // namespace

class XmlAttributesTest : public XmlFileTest {
protected:
    void SetUp() override {
        m_file = Load("<r width='5' Name='x'><plain/></r>");
        m_attributes = m_file->GetRootNode()->GetAttributes();
    }
    // The attribute as the element holds it, or "(none)".
    std::string InElement(const char* name) const {
        const DOMElement* element = static_cast<CXMLNodeImpl*>(m_file->GetRootNode())->GetElement();
        const DOMAttr* attribute = element->getAttributeNode(CXString(name));
        if (!attribute)
            return "(none)";
        char* value = XMLString::transcode(attribute->getValue());
        std::string text(value);
        XMLString::release(&value);
        return text;
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
    EXPECT_EQ(none->Count(), 0u);
}

TEST_F(XmlAttributesTest, GetByIndexAndFindIgnoringCase) {
    ASSERT_EQ(m_attributes->Count(), 2u);
    ASSERT_NE(m_attributes->Get(0), nullptr);
    ASSERT_NE(m_attributes->Get(1), nullptr);
    EXPECT_EQ(m_attributes->Get(2), nullptr);
    CXMLAttribute* named = m_attributes->Find("name");
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(Name(named), "Name");
    EXPECT_EQ(m_attributes->Find("NAME"), named);
    EXPECT_EQ(m_attributes->Find("missing"), nullptr);
}

TEST_F(XmlAttributesTest, BufferRuleOnNameAndValue) {
    CXMLAttribute* width = m_attributes->Find("width");
    char buffer[10];
    std::memset(buffer, 'x', sizeof buffer);
    width->GetName(buffer, 4);
    EXPECT_EQ(std::string(buffer, 4), std::string("wid\0", 4));
    std::memset(buffer, 'x', sizeof buffer);
    width->GetValue(buffer, 1);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');
    std::memset(buffer, 'x', sizeof buffer);
    width->GetValue(buffer, 10);
    EXPECT_EQ(std::string(buffer, 10), std::string("5\0\0\0\0\0\0\0\0\0", 10));
}

TEST_F(XmlAttributesTest, SetReplacesExistingValueSeenByItsWrapper) {
    m_attributes->Set("width", 7);
    EXPECT_EQ(Value(m_attributes->Find("width")), "7");
    EXPECT_EQ(InElement("width"), "7");
}

TEST_F(XmlAttributesTest, SetOfNewNameReachesElementButMakesNoWrapper) {
    m_attributes->Set("height", "3");
    EXPECT_EQ(InElement("height"), "3");
    EXPECT_EQ(m_attributes->Count(), 2u);
    EXPECT_EQ(m_attributes->Find("height"), nullptr);
    ASSERT_TRUE(m_file->Write());
    EXPECT_NE(ReadFile(Path()).find("height=\"3\""), std::string::npos);
}

TEST_F(XmlAttributesTest, SetMatchesNamesExactlyUnlikeFind) {
    m_attributes->Set("NAME", "y");
    EXPECT_EQ(InElement("Name"), "x");
    EXPECT_EQ(InElement("NAME"), "y");
}

TEST_F(XmlAttributesTest, TypedSetsStoreTheirTextForms) {
    m_attributes->Set("flag", true);
    EXPECT_EQ(InElement("flag"), "1");
    m_attributes->Set("flag", false);
    EXPECT_EQ(InElement("flag"), "0");
    m_attributes->Set("n", -5);
    EXPECT_EQ(InElement("n"), "-5");
    m_attributes->Set("u", 4294967295u);
    EXPECT_EQ(InElement("u"), "4294967295");
    m_attributes->Set("f", 1.5f);
    EXPECT_EQ(InElement("f"), "1.500000");
    m_attributes->Set("f", 0.1f);
    EXPECT_EQ(InElement("f"), "0.100000");
    m_attributes->Setf("p", "%s-%d", "a", 3);
    EXPECT_EQ(InElement("p"), "a-3");
}

TEST_F(XmlAttributesTest, WrapperSettersChangeTheElement) {
    CXMLAttribute* width = m_attributes->Find("width");
    width->SetValue("w");
    EXPECT_EQ(InElement("width"), "w");
    width->SetValue(true);
    EXPECT_EQ(InElement("width"), "1");
    width->SetValue(-3);
    EXPECT_EQ(InElement("width"), "-3");
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
    ASSERT_TRUE(m_file->Write());
    EXPECT_EQ(ReadFile(Path()).find("=\"v\""), std::string::npos);
    EXPECT_EQ(m_attributes->Count(), 2u);
}

TEST_F(XmlAttributesTest, DeleteRemovesFromElementAndKeepsOrder) {
    CXMLAttribute* first = m_attributes->Get(0);
    const std::string firstName = Name(first);
    const CXMLAttribute* second = m_attributes->Get(1);
    m_attributes->Delete(first);
    EXPECT_EQ(m_attributes->Count(), 1u);
    EXPECT_EQ(m_attributes->Get(0), second);
    EXPECT_EQ(InElement(firstName.c_str()), "(none)");
    m_attributes->Delete(nullptr);
    EXPECT_EQ(m_attributes->Count(), 1u);
}

TEST_F(XmlAttributesTest, DeleteAllKeepsAttributesAddedSinceTheBuild) {
    m_attributes->Set("added", "yes");
    m_attributes->DeleteAll();
    EXPECT_EQ(m_attributes->Count(), 0u);
    EXPECT_EQ(InElement("width"), "(none)");
    EXPECT_EQ(InElement("Name"), "(none)");
    EXPECT_EQ(InElement("added"), "yes");
}

TEST_F(XmlAttributesTest, DroppingTheWrapperTreeKeepsAttributesInTheFile) {
    // Reset drops the wrappers (DeleteWrapper) before the document: the DOM must still hold the
    // attributes when it is serialised. Parse again, change nothing, write, and compare.
    auto* root = static_cast<CXMLNodeImpl*>(m_file->GetRootNode());
    DOMElement* element = root->GetElement();
    m_file->SetRootNode(nullptr);
    root->DeleteWrapper();
    EXPECT_EQ(element->getAttributes()->getLength(), 2u);
}

TEST_F(XmlAttributesTest, DeletingTheNodeRemovesItsAttributesFromTheElement) {
    auto file = Load("<r><x a='1' b='2'/></r>", "other.xml");
    CXMLNode* x = file->GetRootNode()->GetSubNode(0);
    x->DeleteSubNode(x);  // leaves whichever parent it has
    EXPECT_EQ(file->GetRootNode()->GetSubNodeCount(), 0u);
    ASSERT_TRUE(file->Write());
    EXPECT_EQ(ReadFile(Path("other.xml")).find("a="), std::string::npos);
}
