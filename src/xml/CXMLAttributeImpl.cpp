#include "xml/CXMLAttributeImpl.h"

#include <cassert>
#include <cstdarg>

#include <xercesc/dom/DOM.hpp>

#include "xml/CXMLAttributesImpl.h"
#include "xml/CXMLTranscoder.h"
#include "xml/CXMLValueText.h"
#include "xml/CXString.h"

using namespace XERCES_CPP_NAMESPACE;

CXMLAttributeImpl::CXMLAttributeImpl(CXMLAttributesImpl* attributes, DOMAttr* attribute)
    : m_attributes(attributes), m_attribute(attribute) {
    assert(attributes);
    m_attributes->AddToList(this);
}

CXMLAttributeImpl::~CXMLAttributeImpl() {
    if (!m_attributes) return;
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
    if (!m_attribute) return;
    CXString text(value ? value : "");
    try {
        m_attribute->setValue(text);
    } catch (const DOMException&) {
    }
}

void CXMLAttributeImpl::SetValue(bool value) { SetValue(CXMLValueText(value).Text()); }

void CXMLAttributeImpl::SetValue(int value) { SetValue(CXMLValueText(value).Text()); }

void CXMLAttributeImpl::SetValue(unsigned int value) { SetValue(CXMLValueText(value).Text()); }

void CXMLAttributeImpl::SetValue(float value) { SetValue(CXMLValueText(value).Text()); }

void CXMLAttributeImpl::SetValuef(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const CXMLValueText text(format, arguments);
    va_end(arguments);
    SetValue(text.Text());
}
