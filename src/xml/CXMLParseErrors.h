#ifndef MAD_XML_CXMLPARSEERRORS_H
#define MAD_XML_CXMLPARSEERRORS_H

#include <string>

#include <xercesc/dom/DOMErrorHandler.hpp>

// Error handler of the document parser. A fatal error (any well-formedness error, an unreadable
// file, too many entity expansions) stops the parse and is remembered as
// "line L, column C: message"; validity errors and warnings are ignored, so documents without
// a grammar parse.
class CXMLParseErrors final : public XERCES_CPP_NAMESPACE::DOMErrorHandler {
public:
    bool handleError(const XERCES_CPP_NAMESPACE::DOMError& error) override;

    // Forgets the previous parse's error.
    void Reset();
    bool Failed() const { return m_failed; }
    const std::string& Text() const { return m_text; }

private:
    bool m_failed = false;
    std::string m_text;
};

#endif
