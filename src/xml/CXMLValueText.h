#ifndef MAD_XML_CXMLVALUETEXT_H
#define MAD_XML_CXMLVALUETEXT_H

#include <cstdarg>
#include <cstdio>

// The text form in which the layer stores a typed value: "1" or "0", "%i", "%u", "%f" (the float
// widened to double), or printf-style text cut at 1023 characters. A local of one call, like
// CXMLTranscoder; the text lives as long as the object.
class CXMLValueText {
public:
    explicit CXMLValueText(bool value) { std::snprintf(m_text, sizeof m_text, "%s", value ? "1" : "0"); }
    explicit CXMLValueText(int value) { std::snprintf(m_text, sizeof m_text, "%i", value); }
    explicit CXMLValueText(unsigned int value) { std::snprintf(m_text, sizeof m_text, "%u", value); }
    explicit CXMLValueText(float value) { std::snprintf(m_text, sizeof m_text, "%f", static_cast<double>(value)); }
    CXMLValueText(const char* format, va_list arguments) { std::vsnprintf(m_text, sizeof m_text, format, arguments); }

    CXMLValueText(const CXMLValueText&) = delete;
    CXMLValueText& operator=(const CXMLValueText&) = delete;

    const char* Text() const { return m_text; }

private:
    char m_text[1024];
};

#endif
