#ifndef MAD_XML_CXMLATTRIBUTEIMPL_H
#define MAD_XML_CXMLATTRIBUTEIMPL_H

#include <xercesc/util/XercesDefs.hpp>

#include "xml/CXMLAttribute.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMAttr;
XERCES_CPP_NAMESPACE_END

class CXMLAttributesImpl;

// Wrapper of one DOM attribute, owned by the collection that made it. Destroying it removes the
// attribute from its element; DeleteWrapper frees the wrapper and leaves the DOM alone.
class CXMLAttributeImpl final : public CXMLAttribute {
public:
    // Joins the end of the collection's list; attributes must not be null.
    CXMLAttributeImpl(CXMLAttributesImpl* attributes, XERCES_CPP_NAMESPACE::DOMAttr* attribute);
    ~CXMLAttributeImpl() override;

    CXMLAttributeImpl(const CXMLAttributeImpl&) = delete;
    CXMLAttributeImpl& operator=(const CXMLAttributeImpl&) = delete;

    void GetName(char* buffer, unsigned int size) const override;
    void GetValue(char* buffer, unsigned int size) const override;
    // A value the DOM refuses (read-only node) changes nothing.
    void SetValue(const char* value) override;
    void SetValue(bool value) override;
    void SetValue(int value) override;
    void SetValue(unsigned int value) override;
    void SetValue(float value) override;
    void SetValuef(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    XERCES_CPP_NAMESPACE::DOMAttr* GetAttribute() const { return m_attribute; }
    // Leaves the collection and frees this wrapper; the attribute stays in its element.
    void DeleteWrapper();

private:
    CXMLAttributesImpl* m_attributes;            // owner; null once detached
    XERCES_CPP_NAMESPACE::DOMAttr* m_attribute;  // owned by the document
};

#endif
