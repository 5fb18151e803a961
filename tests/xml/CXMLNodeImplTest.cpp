#include <climits>
#include <cstring>

#include <xercesc/dom/DOM.hpp>

#include "XmlTestSupport.h"
#include "xml/CXMLAttributes.h"
#include "xml/CXMLNodeImpl.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {

unsigned int ElementChildren(const CXMLNode* node) {
    unsigned int count = 0;
    for (const DOMNode* child = static_cast<const CXMLNodeImpl*>(node)->GetElement()->getFirstChild(); child;
         child = child->getNextSibling())
        count += child->getNodeType() == DOMNode::ELEMENT_NODE;
    return count;
}

}  // namespace

// ---- The wrapper tree and its ownership ----

using XmlTreeTest = XmlFileTest;

TEST_F(XmlTreeTest, MixedContentWrapsOnlyElementsInDocumentOrderAtEveryDepth) {
    auto file = Load("<r>text<!-- c --><a><a1/><?pi x?><a2><deep/></a2></a>more<![CDATA[cd]]><b/></r>");
    CXMLNode* root = file->GetRootNode();
    ASSERT_EQ(root->GetSubNodeCount(), 2u);
    CXMLNode* a = root->GetSubNode(0);
    EXPECT_EQ(TagName(a), "a");
    EXPECT_EQ(TagName(root->GetSubNode(1)), "b");
    EXPECT_EQ(root->GetSubNode(2), nullptr);
    ASSERT_EQ(a->GetSubNodeCount(), 2u);
    CXMLNode* deep = a->GetSubNode(1)->GetSubNode(0);
    EXPECT_EQ(TagName(deep), "deep");
    EXPECT_EQ(deep->GetParent()->GetParent(), a);
    EXPECT_EQ(a->GetParent(), root);
    EXPECT_EQ(root->GetParent(), nullptr);
}

TEST_F(XmlTreeTest, FindSubNodeCountsOnlyMatchingNamesIgnoringCase) {
    auto file = Load("<r><item>1</item><other/><ITEM>2</ITEM></r>");
    CXMLNode* root = file->GetRootNode();
    EXPECT_EQ(root->FindSubNode("item", 0), root->GetSubNode(0));
    EXPECT_EQ(root->FindSubNode("item", 1), root->GetSubNode(2));
    EXPECT_EQ(root->FindSubNode("item", 2), nullptr);
    EXPECT_EQ(root->FindSubNode("Item", 0), root->GetSubNode(0));
}

TEST_F(XmlTreeTest, DeleteWrapperFreesWrappersOnlyAndDomStaysWhole) {
    auto file = Load("<r><a x='1'><b/></a><c/></r>");
    auto* root = static_cast<CXMLNodeImpl*>(file->GetRootNode());
    DOMElement* element = root->GetElement();
    file->SetRootNode(nullptr);  // as when the file drops its tree
    root->DeleteWrapper();
    ASSERT_EQ(file->GetDocument()->getDocumentElement(), element);
    auto* a = static_cast<DOMElement*>(element->getFirstChild());
    EXPECT_EQ(a->getAttributes()->getLength(), 1u);
    EXPECT_NE(a->getFirstChild(), nullptr);
    EXPECT_NE(a->getNextSibling(), nullptr);
}

// ---- Buffer rule ----

using XmlBufferTest = XmlFileTest;

TEST_F(XmlBufferTest, TagNameIsCutAndZeroFilled) {
    auto file = Load("<r><mapfile/><map/></r>");
    char buffer[6] = "xxxxx";
    file->GetRootNode()->GetSubNode(0)->GetTagName(buffer, 5);
    EXPECT_EQ(std::string(buffer, 6), std::string("mapf\0", 6));
    std::memcpy(buffer, "xxxxx", 6);
    file->GetRootNode()->GetSubNode(1)->GetTagName(buffer, 5);
    EXPECT_EQ(std::string(buffer, 6), std::string("map\0\0", 6));
}

TEST_F(XmlBufferTest, SizeOneGivesEmptyStringAndTouchesNothingMore) {
    auto file = Load("<r>content</r>");
    char buffer[2] = {'x', 'y'};
    file->GetRootNode()->GetTagName(buffer, 1);
    EXPECT_EQ(std::string(buffer, 2), std::string("\0y", 2));
    buffer[0] = 'x';
    file->GetRootNode()->GetTagContent(buffer, 1);
    EXPECT_EQ(std::string(buffer, 2), std::string("\0y", 2));
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
        m_file = Load("<v>" + text + "</v>");
        return m_file->GetRootNode();
    }
    std::unique_ptr<CXMLFileImpl> m_file;
};

TEST_F(XmlTypedReadTest, IntegersFollowStrtolBaseZero) {
    const std::pair<const char*, int> cases[] = {{"42", 42},
                                                 {"  42", 42},
                                                 {"42abc", 42},
                                                 {"0x1A", 26},
                                                 {"010", 8},
                                                 {"08", 0},
                                                 {"-7", -7},
                                                 {"2147483647", INT_MAX},
                                                 {"-2147483648", INT_MIN}};
    for (const auto& [text, expected] : cases) {
        int value = 99;
        EXPECT_TRUE(Holding(text)->GetTagContent(value)) << text;
        EXPECT_EQ(value, expected) << text;
    }
}

TEST_F(XmlTypedReadTest, FailedIntegerReadsLeaveTheVariableUntouched) {
    for (const char* text : {"", "abc", "2147483648", "-2147483649", "99999999999999999999"}) {
        int value = 99;
        unsigned int uvalue = 99;
        EXPECT_FALSE(Holding(text)->GetTagContent(value) || m_file->GetRootNode()->GetTagContent(uvalue)) << text;
        EXPECT_EQ(value + uvalue, 198u);
    }
    unsigned int value = 99;
    EXPECT_FALSE(Holding("-7")->GetTagContent(value));
    EXPECT_FALSE(Holding("4294967295")->GetTagContent(value));
    EXPECT_EQ(value, 99u);
    EXPECT_TRUE(Holding("2147483647")->GetTagContent(value));
    EXPECT_EQ(value, 2147483647u);
}

TEST_F(XmlTypedReadTest, LongContentIsConvertedWhole) {
    int value = 0;
    EXPECT_TRUE(Holding(std::string(300, ' ') + "123" + std::string(5000, 'z'))->GetTagContent(value));
    EXPECT_EQ(value, 123);
    EXPECT_FALSE(Holding(std::string(100, '9'))->GetTagContent(value));
    EXPECT_EQ(value, 123);
}

TEST_F(XmlTypedReadTest, BooleanIsExactlyOneOrZero) {
    bool value = false;
    EXPECT_TRUE(Holding("1")->GetTagContent(value) && value);
    EXPECT_TRUE(Holding("0")->GetTagContent(value) && !value);
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
    std::unique_ptr<CXMLFileImpl> m_file;
    CXMLNode* m_root = nullptr;
};

TEST_F(XmlEditTest, TypedSetsWriteTheirTextForms) {
    CXMLNode* a = m_root->GetSubNode(0);
    a->SetTagContent(true);
    EXPECT_EQ(Content(a), "1");
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
    EXPECT_EQ(m_root->GetSubNode(2), v);
    EXPECT_EQ(v->GetParent(), m_root);
    EXPECT_EQ(Content(v), "");
    EXPECT_EQ(v->GetAttributes()->Count(), 0u);
    EXPECT_EQ(static_cast<CXMLNodeImpl*>(m_root)->GetElement()->getLastChild(),
              static_cast<CXMLNodeImpl*>(v)->GetElement());
}

TEST_F(XmlEditTest, CreateSubNodeWithRefusedNameReturnsNull) {
    for (const char* name : {"bad name", "<x>", ""}) EXPECT_EQ(m_root->CreateSubNode(name), nullptr) << name;
    EXPECT_EQ(m_root->GetSubNodeCount(), 2u);
    EXPECT_EQ(ElementChildren(m_root), 2u);
}

TEST_F(XmlEditTest, DeleteSubNodeRemovesElementWithItsSubtree) {
    m_root->DeleteSubNode(m_root->GetSubNode(1));
    m_root->DeleteSubNode(nullptr);
    EXPECT_EQ(m_root->GetSubNodeCount(), 1u);
    EXPECT_EQ(ElementChildren(m_root), 1u);
    EXPECT_EQ(Content(m_root), "leadtail");
}

TEST_F(XmlEditTest, NodeDeletedDirectlyLeavesItsParentAndTheDom) {
    delete m_root->GetSubNode(0);  // the interface's virtual destructor
    EXPECT_EQ(m_root->GetSubNodeCount(), 1u);
    EXPECT_EQ(TagName(m_root->GetSubNode(0)), "b");
    EXPECT_EQ(ElementChildren(m_root), 1u);
}

TEST_F(XmlEditTest, DeleteAllSubNodesKeepsDirectText) {
    m_root->DeleteAllSubNodes();
    EXPECT_EQ(m_root->GetSubNodeCount(), 0u);
    EXPECT_EQ(ElementChildren(m_root), 0u);
    EXPECT_EQ(Content(m_root), "leadtail");
}

TEST_F(XmlEditTest, SetTagContentOverSubNodesDropsThemConsistently) {
    m_root->SetTagContent("flat");
    EXPECT_EQ(m_root->GetSubNodeCount(), 0u);
    EXPECT_EQ(Content(m_root), "flat");
    EXPECT_NE(m_root->CreateSubNode("again"), nullptr);
}
