#include "xml/CXMLNodeImpl.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <string>

#include <xercesc/dom/DOM.hpp>

#include "xml/CXMLFileImpl.h"
#include "xml/CXMLTranscoder.h"
#include "xml/CXMLValueText.h"
#include "xml/CXString.h"

using namespace XERCES_CPP_NAMESPACE;

CXMLNodeImpl::CXMLNodeImpl(CXMLFileImpl* file, CXMLNodeImpl* parent, DOMElement* element)
    : m_file(file),
      m_parent(parent),
      m_element(element),
      m_document(file ? file->GetDocument() : nullptr),
      m_attributes(std::make_unique<CXMLAttributesImpl>(element)) {
    if (m_parent) m_parent->AddToList(this);
}

CXMLNodeImpl::~CXMLNodeImpl() {
    DeleteAllSubNodes();
    m_attributes.reset();
    if (m_parent) {
        DOMElement* parentElement = m_parent->GetElement();
        if (parentElement && m_element) {
            try {
                parentElement->removeChild(m_element);
                m_element->release();
                m_element = nullptr;
            } catch (const DOMException&) {
                // The element stays in the DOM and goes with its document.
            }
        }
        m_parent->RemoveFromList(this);
    } else if (m_element) {
        DOMDocument* document = m_element->getOwnerDocument();
        if (document) {
            try {
                document->removeChild(m_element);
                m_element->release();
                m_element = nullptr;
            } catch (const DOMException&) {
            }
            if (m_file) m_file->SetRootNode(nullptr);
        }
    }
}

void CXMLNodeImpl::ForgetDom() {
    for (auto& sub : m_subNodes) {
        sub->m_parent = nullptr;
        sub->ForgetDom();
    }
    // Each destroyed sub-node now has no parent, element, children or attributes: no DOM change.
    m_subNodes.clear();
    if (m_attributes) m_attributes.release()->DeleteWrapper();
    m_element = nullptr;
}

void CXMLNodeImpl::DeleteWrapper() {
    ForgetDom();
    if (m_parent) {
        m_parent->RemoveFromList(this);
        m_parent = nullptr;
    }
    delete this;
}

void CXMLNodeImpl::AddToList(CXMLNodeImpl* node) { m_subNodes.emplace_back(node); }

void CXMLNodeImpl::RemoveFromList(CXMLNodeImpl* node) {
    auto it =
        std::find_if(m_subNodes.begin(), m_subNodes.end(), [node](const auto& held) { return held.get() == node; });
    if (it == m_subNodes.end()) return;
    it->release();  // the node is on its way out already
    m_subNodes.erase(it);
}

void CXMLNodeImpl::RemoveAllFromList() {
    for (auto& held : m_subNodes) held.release();
    m_subNodes.clear();
}

CXMLNode* CXMLNodeImpl::CreateSubNode(const char* name) {
    if (!name || !m_document || !m_element) return nullptr;
    CXString tag(name);
    DOMElement* element = nullptr;
    try {
        element = m_document->createElement(tag);
        m_element->appendChild(element);
    } catch (const DOMException&) {
        return nullptr;  // a name the DOM refuses
    }
    return new CXMLNodeImpl(m_file, this, element);  // owned by this node's list
}

void CXMLNodeImpl::DeleteSubNode(CXMLNode* node) {
    // Through the virtual destructor: the node removes its element and leaves its parent's list.
    delete node;
}

void CXMLNodeImpl::DeleteAllSubNodes() {
    // Taken out of the list first, so the sub-nodes' RemoveFromList calls find nothing to unlink.
    std::vector<std::unique_ptr<CXMLNodeImpl>> doomed;
    doomed.swap(m_subNodes);
    for (auto& held : doomed) held.reset();
}

unsigned int CXMLNodeImpl::GetSubNodeCount() const { return static_cast<unsigned int>(m_subNodes.size()); }

CXMLNode* CXMLNodeImpl::GetSubNode(unsigned int index) {
    return index < m_subNodes.size() ? m_subNodes[index].get() : nullptr;
}

CXMLNode* CXMLNodeImpl::FindSubNode(const char* name, unsigned int index) {
    if (!name) return nullptr;
    CXString wanted(name);
    unsigned int matches = 0;
    for (const auto& sub : m_subNodes) {
        const DOMElement* element = sub->GetElement();
        if (!element || XMLString::compareIString(wanted, element->getTagName()) != 0) continue;
        if (matches == index) return sub.get();
        ++matches;
    }
    return nullptr;
}

CXMLAttributes* CXMLNodeImpl::GetAttributes() { return m_attributes.get(); }

CXMLNode* CXMLNodeImpl::GetParent() { return m_parent; }

void CXMLNodeImpl::GetTagName(char* buffer, unsigned int size) const {
    CXMLTranscoder(m_element ? m_element->getTagName() : nullptr).CopyTo(buffer, size);
}

void CXMLNodeImpl::GetTagContent(char* buffer, unsigned int size) const {
    CXMLTranscoder(m_element ? m_element->getTextContent() : nullptr).CopyTo(buffer, size);
}

bool CXMLNodeImpl::GetTagContent(bool& value) const {
    const XMLCh* content = m_element ? m_element->getTextContent() : nullptr;
    if (XMLString::stringLen(content) != 1) return false;
    if (content[0] == chDigit_1) {
        value = true;
        return true;
    }
    if (content[0] == chDigit_0) {
        value = false;
        return true;
    }
    return false;
}

bool CXMLNodeImpl::StringToLong(const char* text, long& value) {
    if (!text) return false;
    // A private copy of the whole text: no fixed working buffer to overrun.
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(copy.c_str(), &end, 0);
    if (end == copy.c_str() || errno == ERANGE) return false;
    if (number < INT_MIN || number > INT_MAX) return false;
    value = number;
    return true;
}

bool CXMLNodeImpl::GetTagContent(int& value) const {
    if (!m_element) return false;
    CXMLTranscoder content(m_element->getTextContent());
    long number = 0;
    if (!StringToLong(content.localForm(), number)) return false;
    value = static_cast<int>(number);
    return true;
}

bool CXMLNodeImpl::GetTagContent(unsigned int& value) const {
    if (!m_element) return false;
    CXMLTranscoder content(m_element->getTextContent());
    long number = 0;
    if (!StringToLong(content.localForm(), number) || number < 0) return false;
    value = static_cast<unsigned int>(number);
    return true;
}

bool CXMLNodeImpl::GetTagContent(float& value) const {
    CXMLTranscoder content(m_element ? m_element->getTextContent() : nullptr);
    value = static_cast<float>(std::atof(content.localForm() ? content.localForm() : ""));
    return true;
}

void CXMLNodeImpl::SetTagContent(const char* text) {
    if (!m_element) return;
    DeleteAllSubNodes();
    CXString content(text ? text : "");
    try {
        m_element->setTextContent(content);
    } catch (const DOMException&) {
    }
}

void CXMLNodeImpl::SetTagContent(bool value) { SetTagContent(CXMLValueText(value).Text()); }

void CXMLNodeImpl::SetTagContent(int value) { SetTagContent(CXMLValueText(value).Text()); }

void CXMLNodeImpl::SetTagContent(unsigned int value) { SetTagContent(CXMLValueText(value).Text()); }

void CXMLNodeImpl::SetTagContent(float value) { SetTagContent(CXMLValueText(value).Text()); }

void CXMLNodeImpl::SetTagContentf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const CXMLValueText text(format, arguments);
    va_end(arguments);
    SetTagContent(text.Text());
}
