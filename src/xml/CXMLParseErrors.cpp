#include "xml/CXMLParseErrors.h"

#include <xercesc/dom/DOMError.hpp>
#include <xercesc/dom/DOMLocator.hpp>

#include "xml/CXMLTranscoder.h"

using namespace XERCES_CPP_NAMESPACE;

bool CXMLParseErrors::handleError(const DOMError& error) {
    if (error.getSeverity() != DOMError::DOM_SEVERITY_FATAL_ERROR) return true;
    if (!m_failed) {
        m_failed = true;
        m_text.clear();
        if (const DOMLocator* where = error.getLocation()) {
            m_text = "line " + std::to_string(where->getLineNumber()) + ", column " +
                     std::to_string(where->getColumnNumber()) + ": ";
        }
        CXMLTranscoder message(error.getMessage());
        m_text += message.localForm() ? message.localForm() : "parse error";
    }
    return false;
}

void CXMLParseErrors::Reset() {
    m_failed = false;
    m_text.clear();
}
