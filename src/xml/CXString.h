#ifndef MAD_XML_CXSTRING_H
#define MAD_XML_CXSTRING_H

#include <xercesc/util/XercesDefs.hpp>

// One NUL-terminated UTF-16 string for the DOM. Owns its buffer and frees it with
// XMLString::release; a null held string reads as empty wherever a length is taken.
// Lengths count 16-bit units. Not copyable: a copy would release the buffer twice.
class CXString {
public:
    // Converts 8-bit local-code-page text; null gives a null held string.
    explicit CXString(const char* text);
    // Adopts the buffer (it must be releasable by XMLString::release).
    explicit CXString(XMLCh* text);
    // Holds a copy; the caller keeps its buffer.
    explicit CXString(const XMLCh* text);
    ~CXString();

    CXString(const CXString&) = delete;
    CXString& operator=(const CXString&) = delete;

    // The held string (possibly null), valid until Append, Erase or destruction.
    operator const XMLCh*() const { return m_text; }

    const XMLCh* Begin() const { return m_text; }
    const XMLCh* End() const;
    unsigned int Size() const;
    // Unchecked: index must lie in 0..Size() on a non-null string.
    XMLCh& operator[](int index) { return m_text[index]; }
    XMLCh operator[](int index) const { return m_text[index]; }

    // Appends text (null counts as empty); always true. Appending Begin() doubles the string.
    bool Append(const XMLCh* text);
    // Removes [first, last); false and no change unless Begin() <= first <= last <= End().
    bool Erase(const XMLCh* first, const XMLCh* last);

private:
    static XMLCh* Allocate(unsigned int units);
    void Replace(XMLCh* text);

    XMLCh* m_text;
};

#endif
