#ifndef MAD_XML_CXMLATTRIBUTESIMPL_H
#define MAD_XML_CXMLATTRIBUTESIMPL_H

#include <memory>
#include <vector>

#include <xercesc/util/XercesDefs.hpp>

#include "xml/CXMLAttributeImpl.h"
#include "xml/CXMLAttributes.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMElement;
class DOMNamedNodeMap;
XERCES_CPP_NAMESPACE_END

// The attribute wrappers of one element, made once at construction in the order of the
// element's attribute map. Owned by its node. Destruction removes every wrapped attribute from
// the element; DeleteWrapper frees the wrappers and the collection and leaves the element as is.
class CXMLAttributesImpl final : public CXMLAttributes {
public:
    explicit CXMLAttributesImpl(XERCES_CPP_NAMESPACE::DOMElement* element);
    ~CXMLAttributesImpl();

    CXMLAttributesImpl(const CXMLAttributesImpl&) = delete;
    CXMLAttributesImpl& operator=(const CXMLAttributesImpl&) = delete;

    unsigned int Count() const override;
    CXMLAttribute* Get(unsigned int index) override;
    CXMLAttribute* Find(const char* name) override;
    void Set(const char* name, const char* value) override;
    void Set(const char* name, bool value) override;
    void Set(const char* name, int value) override;
    void Set(const char* name, unsigned int value) override;
    void Set(const char* name, float value) override;
    void Setf(const char* name, const char* format, ...) override __attribute__((format(printf, 3, 4)));
    void Delete(CXMLAttribute* attribute) override;
    void DeleteAll() override;

    // Frees every wrapper and this collection (delete this); the element keeps its attributes.
    void DeleteWrapper();
    XERCES_CPP_NAMESPACE::DOMElement* GetElement() const { return m_element; }
    CXMLAttributeImpl* Add(XERCES_CPP_NAMESPACE::DOMAttr* attribute);
    // Takes ownership of a wrapper made for this collection.
    CXMLAttributeImpl* AddToList(CXMLAttributeImpl* attribute);
    // Gives up ownership of a wrapper that is being destroyed or detached; absent ones are ignored.
    void RemoveFromList(CXMLAttributeImpl* attribute);

private:
    void CreateAttributes();

    XERCES_CPP_NAMESPACE::DOMElement* m_element;
    XERCES_CPP_NAMESPACE::DOMNamedNodeMap* m_map;
    std::vector<std::unique_ptr<CXMLAttributeImpl>> m_list;
};

#endif
