#include "xml/CXMLAttributeImpl.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>

#include <xercesc/dom/DOM.hpp>

#include "xml/CXMLAttributesImpl.h"
#include "xml/CXMLTranscoder.h"
#include "xml/CXString.h"

using namespace XERCES_CPP_NAMESPACE;

CXMLAttributeImpl::CXMLAttributeImpl(CXMLAttributesImpl* attributes, DOMAttr* attribute)
    : m_attributes(attributes), m_attribute(attribute) {
    assert(attributes);
    m_attributes->AddToList(this);
}

CXMLAttributeImpl::~CXMLAttributeImpl() {
    if (!m_attributes)
        return;
    DOMElement* element = m_attributes->GetElement();
    if (m_attribute && element) {
        try {
            element->removeAttributeNode(m_attribute);
            m_attribute->release();
            m_attribute = nullptr;
        } catch (const DOMException&) {
            // The attribute stays as the refusing call left it; the wrapper still goes.
        }
    }
    m_attributes->RemoveFromList(this);
    m_attributes = nullptr;
}

void CXMLAttributeImpl::DeleteWrapper() {
    m_attribute = nullptr;
    if (m_attributes) {
        m_attributes->RemoveFromList(this);
        m_attributes = nullptr;
    }
    delete this;
}

void CXMLAttributeImpl::GetName(char* buffer, unsigned int size) const {
    CXMLTranscoder(m_attribute ? m_attribute->getName() : nullptr).CopyTo(buffer, size);
}

void CXMLAttributeImpl::GetValue(char* buffer, unsigned int size) const {
    CXMLTranscoder(m_attribute ? m_attribute->getValue() : nullptr).CopyTo(buffer, size);
}

void CXMLAttributeImpl::SetValue(const char* value) {
    if (!m_attribute)
        return;
    CXString text(value ? value : "");
    try {
        m_attribute->setValue(text);
    } catch (const DOMException&) {
    }
}

void CXMLAttributeImpl::SetValue(bool value) {
    SetValue(value ? "1" : "0");
}

void CXMLAttributeImpl::SetValue(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%i", value);
    SetValue(static_cast<const char*>(text));
}

void CXMLAttributeImpl::SetValue(unsigned int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", value);
    SetValue(static_cast<const char*>(text));
}

void CXMLAttributeImpl::SetValue(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
    SetValue(static_cast<const char*>(text));
}

void CXMLAttributeImpl::SetValuef(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    SetValue(static_cast<const char*>(text));
}
