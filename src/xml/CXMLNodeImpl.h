#ifndef MAD_XML_CXMLNODEIMPL_H
#define MAD_XML_CXMLNODEIMPL_H

#include <memory>
#include <vector>

#include <xercesc/util/XercesDefs.hpp>

#include "xml/CXMLAttributesImpl.h"
#include "xml/CXMLNode.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMDocument;
class DOMElement;
XERCES_CPP_NAMESPACE_END

class CXMLFileImpl;

// Wrapper of one DOM element. A node owns its sub-nodes (in document order, then created ones)
// and its attribute collection; the root node is owned by its CXMLFileImpl. Destroying a node
// removes its element from the DOM; DeleteWrapper frees the wrappers and leaves the DOM alone.
// Sub-nodes are kept in a vector: GetSubNode and GetSubNodeCount are O(1).
class CXMLNodeImpl final : public CXMLNode {
public:
    // Wraps element; with a parent, joins the end of the parent's sub-node list (the parent then
    // owns it). The file must hold its document already.
    CXMLNodeImpl(CXMLFileImpl* file, CXMLNodeImpl* parent, XERCES_CPP_NAMESPACE::DOMElement* element);
    ~CXMLNodeImpl() override;

    CXMLNodeImpl(const CXMLNodeImpl&) = delete;
    CXMLNodeImpl& operator=(const CXMLNodeImpl&) = delete;

    CXMLNode* CreateSubNode(const char* name) override;
    void DeleteSubNode(CXMLNode* node) override;
    void DeleteAllSubNodes() override;
    unsigned int GetSubNodeCount() const override;
    CXMLNode* GetSubNode(unsigned int index) override;
    CXMLNode* FindSubNode(const char* name, unsigned int index) override;
    CXMLAttributes* GetAttributes() override;
    CXMLNode* GetParent() override;
    void GetTagName(char* buffer, unsigned int size) const override;
    void GetTagContent(char* buffer, unsigned int size) const override;
    bool GetTagContent(bool& value) const override;
    bool GetTagContent(int& value) const override;
    bool GetTagContent(unsigned int& value) const override;
    bool GetTagContent(float& value) const override;
    // Deletes the sub-nodes first (their elements go anyway), so the list never holds wrappers
    // of elements the DOM has dropped.
    void SetTagContent(const char* text) override;
    void SetTagContent(bool value) override;
    void SetTagContent(int value) override;
    void SetTagContent(unsigned int value) override;
    void SetTagContent(float value) override;
    void SetTagContentf(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    XERCES_CPP_NAMESPACE::DOMElement* GetElement() const { return m_element; }
    // Frees this node, its subtree and their attribute wrappers (delete this); the DOM is untouched.
    void DeleteWrapper();
    // Takes ownership of node.
    void AddToList(CXMLNodeImpl* node);
    // Gives up ownership of node, which is being destroyed or detached; absent nodes are ignored.
    void RemoveFromList(CXMLNodeImpl* node);
    // Forgets every sub-node without destroying any (they are then nobody's).
    void RemoveAllFromList();

    // strtol base 0 over the whole text; true when a number was read and it lies in the signed
    // 32-bit range. Text after the number is ignored. Any length is handled.
    static bool StringToLong(const char* text, long& value);

private:
    // Drops the wrappers below and the attribute wrappers, leaving the DOM; keeps *this.
    void ForgetDom();

    CXMLFileImpl* m_file;
    CXMLNodeImpl* m_parent;
    XERCES_CPP_NAMESPACE::DOMElement* m_element;
    XERCES_CPP_NAMESPACE::DOMDocument* m_document;
    std::vector<std::unique_ptr<CXMLNodeImpl>> m_subNodes;
    std::unique_ptr<CXMLAttributesImpl> m_attributes;
};

#endif
