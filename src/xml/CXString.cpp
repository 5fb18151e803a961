#include "xml/CXString.h"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

using XERCES_CPP_NAMESPACE::XMLPlatformUtils;
using XERCES_CPP_NAMESPACE::XMLString;

CXString::CXString(const char* text) : m_text(text ? XMLString::transcode(text) : nullptr) {}

CXString::CXString(XMLCh* text) : m_text(text) {}

CXString::CXString(const XMLCh* text) : m_text(text ? XMLString::replicate(text) : nullptr) {}

CXString::~CXString() {
    if (m_text) XMLString::release(&m_text);
}

const XMLCh* CXString::End() const { return m_text ? m_text + Size() : nullptr; }

unsigned int CXString::Size() const { return static_cast<unsigned int>(XMLString::stringLen(m_text)); }

// Edited buffers come from the same memory manager that XMLString::release hands them back to,
// so every held buffer is freed the same way whatever produced it.
XMLCh* CXString::Allocate(unsigned int units) {
    return static_cast<XMLCh*>(XMLPlatformUtils::fgMemoryManager->allocate(units * sizeof(XMLCh)));
}

void CXString::Replace(XMLCh* text) {
    if (m_text) XMLString::release(&m_text);
    m_text = text;
}

bool CXString::Append(const XMLCh* text) {
    const unsigned int added = static_cast<unsigned int>(XMLString::stringLen(text));
    const unsigned int held = Size();
    XMLCh* joined = Allocate(held + added + 1);
    if (held) XMLString::moveChars(joined, m_text, held);
    if (added) XMLString::moveChars(joined + held, text, added);
    joined[held + added] = 0;
    Replace(joined);
    return true;
}

bool CXString::Erase(const XMLCh* first, const XMLCh* last) {
    const XMLCh* begin = Begin();
    const XMLCh* end = End();
    if (first > last || first < begin || last > end) return false;
    const unsigned int head = static_cast<unsigned int>(first - begin);
    const unsigned int tail = static_cast<unsigned int>(end - last);
    XMLCh* kept = Allocate(head + tail + 1);
    if (head) XMLString::moveChars(kept, begin, head);
    if (tail) XMLString::moveChars(kept + head, last, tail);
    kept[head + tail] = 0;
    Replace(kept);
    return true;
}
