#ifndef MAD_XML_CXMLNODE_H
#define MAD_XML_CXMLNODE_H

class CXMLAttributes;

// One element of a document. Nodes are owned by their parent node (the root by its CXMLFile);
// callers never delete a node except through DeleteSubNode. Deleting a node also removes its
// element from the document.
// Text reads follow the buffer rule: at most size - 1 bytes are copied, the rest of the buffer
// is zero-filled and buffer[size - 1] is always 0; size must be at least 1.
// Typed reads that fail return false and leave the caller's variable untouched.
class CXMLNode {
public:
    virtual ~CXMLNode() = default;

    // Appends a new element as the last child; null when the DOM refuses the name.
    virtual CXMLNode* CreateSubNode(const char* name) = 0;
    virtual void DeleteSubNode(CXMLNode* node) = 0;
    virtual void DeleteAllSubNodes() = 0;
    virtual unsigned int GetSubNodeCount() const = 0;
    // The element child at index in document order, or null.
    virtual CXMLNode* GetSubNode(unsigned int index) = 0;
    // The index-th element child whose tag name matches ignoring letter case, or null.
    virtual CXMLNode* FindSubNode(const char* name, unsigned int index) = 0;
    virtual CXMLAttributes* GetAttributes() = 0;
    virtual CXMLNode* GetParent() = 0;
    virtual void GetTagName(char* buffer, unsigned int size) const = 0;
    // The element's text content: all text inside it, descendants included.
    virtual void GetTagContent(char* buffer, unsigned int size) const = 0;
    virtual bool GetTagContent(bool& value) const = 0;          // exactly "1" or "0"
    virtual bool GetTagContent(int& value) const = 0;           // strtol base 0, 32-bit range
    virtual bool GetTagContent(unsigned int& value) const = 0;  // as int, and not negative
    virtual bool GetTagContent(float& value) const = 0;         // atof; always true
    // Replaces all children of the element by one text node.
    virtual void SetTagContent(const char* text) = 0;
    virtual void SetTagContent(bool value) = 0;
    virtual void SetTagContent(int value) = 0;
    virtual void SetTagContent(unsigned int value) = 0;
    virtual void SetTagContent(float value) = 0;
    virtual void SetTagContentf(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
};

#endif
