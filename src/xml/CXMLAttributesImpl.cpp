#include "xml/CXMLAttributesImpl.h"

#include <algorithm>
#include <cstdarg>

#include <xercesc/dom/DOM.hpp>

#include "xml/CXMLValueText.h"
#include "xml/CXString.h"

using namespace XERCES_CPP_NAMESPACE;

CXMLAttributesImpl::CXMLAttributesImpl(DOMElement* element)
    : m_element(element), m_map(element ? element->getAttributes() : nullptr) {
    CreateAttributes();
}

CXMLAttributesImpl::~CXMLAttributesImpl() { DeleteAll(); }

void CXMLAttributesImpl::CreateAttributes() {
    if (!m_map) return;
    const XMLSize_t count = m_map->getLength();
    for (XMLSize_t i = 0; i < count; ++i) {
        DOMNode* node = m_map->item(i);
        if (node && node->getNodeType() == DOMNode::ATTRIBUTE_NODE) Add(static_cast<DOMAttr*>(node));
    }
}

CXMLAttributeImpl* CXMLAttributesImpl::Add(DOMAttr* attribute) {
    // The wrapper's constructor hands itself to AddToList.
    return new CXMLAttributeImpl(this, attribute);
}

CXMLAttributeImpl* CXMLAttributesImpl::AddToList(CXMLAttributeImpl* attribute) {
    m_list.emplace_back(attribute);
    return attribute;
}

void CXMLAttributesImpl::RemoveFromList(CXMLAttributeImpl* attribute) {
    auto it =
        std::find_if(m_list.begin(), m_list.end(), [attribute](const auto& held) { return held.get() == attribute; });
    if (it == m_list.end()) return;
    it->release();  // the wrapper is on its way out already
    m_list.erase(it);
}

unsigned int CXMLAttributesImpl::Count() const { return static_cast<unsigned int>(m_list.size()); }

CXMLAttribute* CXMLAttributesImpl::Get(unsigned int index) {
    return index < m_list.size() ? m_list[index].get() : nullptr;
}

CXMLAttribute* CXMLAttributesImpl::Find(const char* name) {
    if (!name) return nullptr;
    CXString wanted(name);
    for (const auto& held : m_list) {
        const DOMAttr* attribute = held->GetAttribute();
        if (attribute && XMLString::compareIString(wanted, attribute->getName()) == 0) return held.get();
    }
    return nullptr;
}

void CXMLAttributesImpl::Set(const char* name, const char* value) {
    if (!m_element || !name) return;
    CXString xmlName(name);
    CXString xmlValue(value ? value : "");
    try {
        m_element->setAttribute(xmlName, xmlValue);
    } catch (const DOMException&) {
        // A name the DOM refuses changes nothing.
    }
}

void CXMLAttributesImpl::Set(const char* name, bool value) { Set(name, CXMLValueText(value).Text()); }

void CXMLAttributesImpl::Set(const char* name, int value) { Set(name, CXMLValueText(value).Text()); }

void CXMLAttributesImpl::Set(const char* name, unsigned int value) { Set(name, CXMLValueText(value).Text()); }

void CXMLAttributesImpl::Set(const char* name, float value) { Set(name, CXMLValueText(value).Text()); }

void CXMLAttributesImpl::Setf(const char* name, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const CXMLValueText text(format, arguments);
    va_end(arguments);
    Set(name, text.Text());
}

void CXMLAttributesImpl::Delete(CXMLAttribute* attribute) {
    // Through the virtual destructor: the wrapper removes its attribute and leaves its own list.
    delete attribute;
}

void CXMLAttributesImpl::DeleteAll() {
    // Taken out of the list first, so the wrappers' RemoveFromList calls find nothing to unlink.
    std::vector<std::unique_ptr<CXMLAttributeImpl>> doomed;
    doomed.swap(m_list);
    for (auto& held : doomed) held.reset();
}

void CXMLAttributesImpl::DeleteWrapper() {
    std::vector<std::unique_ptr<CXMLAttributeImpl>> detached;
    detached.swap(m_list);
    for (auto& held : detached) held.release()->DeleteWrapper();
    delete this;
}
