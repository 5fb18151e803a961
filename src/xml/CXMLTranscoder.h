#ifndef MAD_XML_CXMLTRANSCODER_H
#define MAD_XML_CXMLTRANSCODER_H

#include <cstring>

#include <xercesc/util/XMLString.hpp>

// The 8-bit local-code-page form of one UTF-16 string from the DOM, owned and released here.
// Used as a local for the span of one call. Not copyable.
class CXMLTranscoder {
public:
    explicit CXMLTranscoder(const XMLCh* text) : m_local(XERCES_CPP_NAMESPACE::XMLString::transcode(text)) {}
    ~CXMLTranscoder() { XERCES_CPP_NAMESPACE::XMLString::release(&m_local); }

    CXMLTranscoder(const CXMLTranscoder&) = delete;
    CXMLTranscoder& operator=(const CXMLTranscoder&) = delete;

    // Valid until destruction; non-null for any non-null input.
    const char* localForm() const { return m_local; }

    // The buffer rule of the layer: copies at most size - 1 bytes, zero-fills the rest and
    // always ends with a zero byte. A size of 0 writes nothing; a null local form reads as "".
    void CopyTo(char* buffer, unsigned int size) const {
        if (!buffer || size == 0) return;
        const char* text = m_local ? m_local : "";
        const std::size_t length = std::strlen(text);
        const std::size_t copied = length < size - 1 ? length : size - 1;
        std::memcpy(buffer, text, copied);
        std::memset(buffer + copied, 0, size - copied);
    }

private:
    char* m_local;
};

#endif
