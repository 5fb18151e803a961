#include <climits>
#include <cstring>

#include "XmlTestSupport.h"
#include "xml/CXMLAttributes.h"
#include "xml/CXMLNodeImpl.h"
#include "xml/CXString.h"

#include <xercesc/dom/DOM.hpp>

using namespace XERCES_CPP_NAMESPACE;

namespace {

unsigned int ElementChildren(const DOMElement* element) {
    unsigned int count = 0;
    for (const DOMNode* child = element->getFirstChild(); child; child = child->getNextSibling())
        count += child->getNodeType() == DOMNode::ELEMENT_NODE;
    return count;
}

}  // namespace

// ---- The wrapper tree mirrors the element tree ----

using XmlTreeTest = XmlFileTest;

TEST_F(XmlTreeTest, MixedContentWrapsOnlyElementsInDocumentOrderAtEveryDepth) {
    auto file = Load("<r>text<!-- c --><a><a1/><?pi x?><a2><deep/></a2></a>more<![CDATA[cd]]><b/></r>");
    CXMLNode* root = file->GetRootNode();
    ASSERT_EQ(root->GetSubNodeCount(), 2u);
    CXMLNode* a = root->GetSubNode(0);
    EXPECT_EQ(TagName(a), "a");
    EXPECT_EQ(TagName(root->GetSubNode(1)), "b");
    ASSERT_EQ(a->GetSubNodeCount(), 2u);
    EXPECT_EQ(TagName(a->GetSubNode(1)->GetSubNode(0)), "deep");
    EXPECT_EQ(a->GetSubNode(1)->GetSubNode(0)->GetParent(), a->GetSubNode(1));
    EXPECT_EQ(a->GetParent(), root);
    EXPECT_EQ(root->GetParent(), nullptr);
    EXPECT_EQ(root->GetSubNode(2), nullptr);
}

TEST_F(XmlTreeTest, TextOnlyElementHasNoSubNodes) {
    auto file = Load("<r>just text</r>");
    EXPECT_EQ(file->GetRootNode()->GetSubNodeCount(), 0u);
    EXPECT_EQ(file->GetRootNode()->GetSubNode(0), nullptr);
}

TEST_F(XmlTreeTest, FindSubNodeCountsOnlyMatchingNamesIgnoringCase) {
    auto file = Load("<r><item>1</item><other/><ITEM>2</ITEM></r>");
    CXMLNode* root = file->GetRootNode();
    EXPECT_EQ(root->FindSubNode("item", 0), root->GetSubNode(0));
    EXPECT_EQ(root->FindSubNode("item", 1), root->GetSubNode(2));
    EXPECT_EQ(root->FindSubNode("item", 2), nullptr);
    EXPECT_EQ(root->FindSubNode("Item", 0), root->GetSubNode(0));
    EXPECT_EQ(root->FindSubNode("missing", 0), nullptr);
}

TEST_F(XmlTreeTest, LargeFeedIsWalkedQuickly) {
    std::string xml = "<channel>";
    for (int i = 0; i < 20000; ++i)
        xml += "<item><title>m" + std::to_string(i) + "</title></item>";
    xml += "</channel>";
    auto file = Load(xml);
    CXMLNode* channel = file->GetRootNode();
    ASSERT_EQ(channel->GetSubNodeCount(), 20000u);
    EXPECT_EQ(Content(channel->GetSubNode(19999)), "m19999");
    EXPECT_EQ(Content(channel->FindSubNode("item", 12345)), "m12345");
}

TEST_F(XmlTreeTest, DeleteWrapperFreesWrappersOnlyAndDomStaysWhole) {
    auto file = Load("<r><a x='1'><b/></a><c/></r>");
    auto* root = static_cast<CXMLNodeImpl*>(file->GetRootNode());
    DOMElement* element = root->GetElement();
    file->SetRootNode(nullptr);  // the file forgets it, as when it drops its tree
    root->DeleteWrapper();
    EXPECT_EQ(file->GetDocument()->getDocumentElement(), element);
    ASSERT_EQ(ElementChildren(element), 2u);
    auto* a = static_cast<DOMElement*>(element->getFirstChild());
    EXPECT_NE(a->getAttributeNode(CXString("x")), nullptr);
    EXPECT_EQ(ElementChildren(a), 1u);
    // Writing still finds no root wrapper; the DOM itself was kept for the document's end.
    EXPECT_FALSE(file->Write());
}

TEST_F(XmlTreeTest, SubNodeDeleteWrapperLeavesItsElement) {
    auto file = Load("<r><a/><b/></r>");
    auto* a = static_cast<CXMLNodeImpl*>(file->GetRootNode()->GetSubNode(0));
    a->DeleteWrapper();
    EXPECT_EQ(file->GetRootNode()->GetSubNodeCount(), 1u);
    EXPECT_EQ(ElementChildren(static_cast<CXMLNodeImpl*>(file->GetRootNode())->GetElement()), 2u);
}

// ---- Buffer rule ----

using XmlBufferTest = XmlFileTest;

TEST_F(XmlBufferTest, TagNameIsCutAndZeroFilled) {
    auto file = Load("<r><mapfile/><map/></r>");
    char buffer[5];
    std::memset(buffer, 'x', sizeof buffer);
    file->GetRootNode()->GetSubNode(0)->GetTagName(buffer, 5);
    EXPECT_EQ(std::string(buffer, 5), std::string("mapf\0", 5));
    std::memset(buffer, 'x', sizeof buffer);
    file->GetRootNode()->GetSubNode(1)->GetTagName(buffer, 5);
    EXPECT_EQ(std::string(buffer, 5), std::string("map\0\0", 5));
}

TEST_F(XmlBufferTest, SizeOneGivesEmptyString) {
    auto file = Load("<r>content</r>");
    char buffer[2] = {'x', 'y'};
    file->GetRootNode()->GetTagName(buffer, 1);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'y');
    buffer[0] = 'x';
    file->GetRootNode()->GetTagContent(buffer, 1);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'y');
}

TEST_F(XmlBufferTest, ContentConcatenatesTextOfDescendantsOnly) {
    auto file = Load("<r><m>a<x>b</x>c</m><n><!-- only a comment --></n></r>");
    EXPECT_EQ(Content(file->GetRootNode()->GetSubNode(0)), "abc");
    EXPECT_EQ(Content(file->GetRootNode()->GetSubNode(1)), "");
}

// ---- Typed reads ----

class XmlTypedReadTest : public XmlFileTest {
protected:
    CXMLNode* Holding(const std::string& text) {
        m_file = Load("<v>" + text + "</v>", "value" + std::to_string(++m_count) + ".xml");
        return m_file->GetRootNode();
    }
    std::unique_ptr<CXMLFileImpl> m_file;
    int m_count = 0;
};

TEST_F(XmlTypedReadTest, IntegersFollowStrtolBaseZero) {
    const struct {
        const char* text;
        int expected;
    } cases[] = {{"42", 42}, {"  42", 42}, {"42abc", 42}, {"0x1A", 26}, {"010", 8}, {"08", 0},
                 {"-7", -7}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}};
    for (const auto& c : cases) {
        int value = 99;
        EXPECT_TRUE(Holding(c.text)->GetTagContent(value)) << c.text;
        EXPECT_EQ(value, c.expected) << c.text;
    }
}

TEST_F(XmlTypedReadTest, FailedIntegerReadsLeaveTheVariableUntouched) {
    for (const char* text : {"", "abc", "2147483648", "-2147483649", "99999999999999999999"}) {
        int value = 99;
        unsigned int uvalue = 99;
        EXPECT_FALSE(Holding(text)->GetTagContent(value)) << text;
        EXPECT_FALSE(Holding(text)->GetTagContent(uvalue)) << text;
        EXPECT_EQ(value, 99);
        EXPECT_EQ(uvalue, 99u);
    }
}

TEST_F(XmlTypedReadTest, UnsignedRefusesNegativesAndUpperHalf) {
    unsigned int value = 99;
    EXPECT_FALSE(Holding("-7")->GetTagContent(value));
    EXPECT_FALSE(Holding("4294967295")->GetTagContent(value));
    EXPECT_EQ(value, 99u);
    EXPECT_TRUE(Holding("2147483647")->GetTagContent(value));
    EXPECT_EQ(value, 2147483647u);
}

TEST_F(XmlTypedReadTest, OverflowDoesNotSpoilALaterRead) {
    int value = 0;
    EXPECT_FALSE(Holding("2147483648")->GetTagContent(value));
    EXPECT_TRUE(Holding("5")->GetTagContent(value));
    EXPECT_EQ(value, 5);
}

TEST_F(XmlTypedReadTest, LongContentIsConvertedWhole) {
    // Far beyond any fixed working buffer: leading blanks, the number, a long tail.
    const std::string text = std::string(300, ' ') + "123" + std::string(5000, 'z');
    int value = 0;
    EXPECT_TRUE(Holding(text)->GetTagContent(value));
    EXPECT_EQ(value, 123);
    EXPECT_FALSE(Holding(std::string(100, '9'))->GetTagContent(value));
    EXPECT_EQ(value, 123);
}

TEST_F(XmlTypedReadTest, BooleanIsExactlyOneOrZero) {
    bool value = false;
    EXPECT_TRUE(Holding("1")->GetTagContent(value));
    EXPECT_TRUE(value);
    EXPECT_TRUE(Holding("0")->GetTagContent(value));
    EXPECT_FALSE(value);
    for (const char* text : {"true", "01", " 1", "", "2"}) {
        bool untouched = true;
        EXPECT_FALSE(Holding(text)->GetTagContent(untouched)) << text;
        EXPECT_TRUE(untouched);
    }
}

TEST_F(XmlTypedReadTest, FloatIsAtofAndAlwaysSucceeds) {
    float value = 9.0f;
    EXPECT_TRUE(Holding("1.5")->GetTagContent(value));
    EXPECT_FLOAT_EQ(value, 1.5f);
    EXPECT_TRUE(Holding("abc")->GetTagContent(value));
    EXPECT_FLOAT_EQ(value, 0.0f);
}

// ---- Changing content and structure ----

class XmlEditTest : public XmlFileTest {
protected:
    void SetUp() override {
        m_file = Load("<r>lead<a/><b><c/></b>tail</r>");
        m_root = m_file->GetRootNode();
    }
    DOMElement* RootElement() const { return static_cast<CXMLNodeImpl*>(m_root)->GetElement(); }

    std::unique_ptr<CXMLFileImpl> m_file;
    CXMLNode* m_root = nullptr;
};

TEST_F(XmlEditTest, TypedSetsWriteTheirTextForms) {
    CXMLNode* a = m_root->GetSubNode(0);
    a->SetTagContent(true);
    EXPECT_EQ(Content(a), "1");
    a->SetTagContent(false);
    EXPECT_EQ(Content(a), "0");
    a->SetTagContent(-5);
    EXPECT_EQ(Content(a), "-5");
    a->SetTagContent(4294967295u);
    EXPECT_EQ(Content(a), "4294967295");
    a->SetTagContent(1.5f);
    EXPECT_EQ(Content(a), "1.500000");
    a->SetTagContentf("%u", 7u);
    EXPECT_EQ(Content(a), "7");
    a->SetTagContentf("%s", std::string(2000, 'q').c_str());
    EXPECT_EQ(Content(a), std::string(1023, 'q'));
}

TEST_F(XmlEditTest, CreateSubNodeAppendsEmptyElementLast) {
    CXMLNode* v = m_root->CreateSubNode("version");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(m_root->GetSubNodeCount(), 3u);
    EXPECT_EQ(m_root->GetSubNode(2), v);
    EXPECT_EQ(v->GetParent(), m_root);
    EXPECT_EQ(Content(v), "");
    EXPECT_EQ(v->GetAttributes()->Count(), 0u);
    EXPECT_EQ(RootElement()->getLastChild(), static_cast<CXMLNodeImpl*>(v)->GetElement());
}

TEST_F(XmlEditTest, CreateSubNodeWithRefusedNameReturnsNullAndChangesNothing) {
    EXPECT_EQ(m_root->CreateSubNode("bad name"), nullptr);
    EXPECT_EQ(m_root->CreateSubNode("<x>"), nullptr);
    EXPECT_EQ(m_root->CreateSubNode(""), nullptr);
    EXPECT_EQ(m_root->GetSubNodeCount(), 2u);
    EXPECT_EQ(ElementChildren(RootElement()), 2u);
}

TEST_F(XmlEditTest, DeleteSubNodeRemovesElementWithItsSubtree) {
    m_root->DeleteSubNode(m_root->GetSubNode(1));
    EXPECT_EQ(m_root->GetSubNodeCount(), 1u);
    EXPECT_EQ(ElementChildren(RootElement()), 1u);
    EXPECT_EQ(Content(m_root), "leadtail");
    m_root->DeleteSubNode(nullptr);
    EXPECT_EQ(m_root->GetSubNodeCount(), 1u);
}

TEST_F(XmlEditTest, DeleteAllSubNodesKeepsDirectText) {
    m_root->DeleteAllSubNodes();
    EXPECT_EQ(m_root->GetSubNodeCount(), 0u);
    EXPECT_EQ(ElementChildren(RootElement()), 0u);
    EXPECT_EQ(Content(m_root), "leadtail");
}

TEST_F(XmlEditTest, SetTagContentOnNodeWithSubNodesDropsThemConsistently) {
    m_root->SetTagContent("flat");
    EXPECT_EQ(m_root->GetSubNodeCount(), 0u);
    EXPECT_EQ(Content(m_root), "flat");
    ASSERT_NE(m_root->CreateSubNode("again"), nullptr);
    EXPECT_EQ(m_root->GetSubNodeCount(), 1u);
}

TEST_F(XmlEditTest, DeletingTheRootEmptiesTheDocument) {
    m_file->Clear();
    EXPECT_EQ(m_file->GetRootNode(), nullptr);
    EXPECT_EQ(m_file->GetDocument()->getDocumentElement(), nullptr);
}

TEST_F(XmlEditTest, NodeDeletedDirectlyLeavesItsParentAndTheDom) {
    // The interface allows deletion through the virtual destructor; the list must not keep it.
    delete m_root->GetSubNode(0);
    EXPECT_EQ(m_root->GetSubNodeCount(), 1u);
    EXPECT_EQ(TagName(m_root->GetSubNode(0)), "b");
    EXPECT_EQ(ElementChildren(RootElement()), 1u);
}
