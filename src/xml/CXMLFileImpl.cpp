#include "xml/CXMLFileImpl.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/framework/Wrapper4InputSource.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "fs/CAtomicFile.h"
#include "xml/CXMLNoFetchResolver.h"
#include "xml/CXMLParseErrors.h"
#include "xml/CXMLStreamReader.h"
#include "xml/CXMLTranscoder.h"
#include "xml/CXString.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {

std::unique_ptr<char[]> CopyName(const char* name) {
    if (!name) return nullptr;
    const std::size_t length = std::strlen(name);
    std::unique_ptr<char[]> copy(new char[length + 1]);
    std::memcpy(copy.get(), name, length + 1);
    return copy;
}

void SetIfAccepted(DOMConfiguration* config, const XMLCh* name, bool value) {
    if (config->canSetParameter(name, value)) config->setParameter(name, value);
}

void SetIfAccepted(DOMConfiguration* config, const XMLCh* name, const void* value) {
    if (config->canSetParameter(name, value)) config->setParameter(name, value);
}

bool IsWhitespace(const XMLCh* text) {
    for (; text && *text; ++text) {
        if (*text != chSpace && *text != chHTab && *text != chLF && *text != chCR) return false;
    }
    return true;
}

// True when the document must be written as it is, not pretty-printed: some element below root
// holds both element children and text other than white space (indenting it would change its
// text), or holds a comment or processing instruction.
// Walks without recursion: nesting depth is bounded by the parse, not by this walk.
bool HasMixedContent(const DOMElement* root) {
    std::vector<const DOMNode*> pending{root};
    while (!pending.empty()) {
        const DOMNode* node = pending.back();
        pending.pop_back();
        bool hasElement = false;
        bool hasText = false;
        for (const DOMNode* child = node->getFirstChild(); child; child = child->getNextSibling()) {
            switch (child->getNodeType()) {
            case DOMNode::ELEMENT_NODE:
                hasElement = true;
                pending.push_back(child);
                break;
            case DOMNode::COMMENT_NODE:
            case DOMNode::PROCESSING_INSTRUCTION_NODE:
                // The pretty-printer puts these on lines of their own without dropping the
                // white space it put there last time: a rewrite would grow by a line.
                return true;
            case DOMNode::CDATA_SECTION_NODE:
                hasText = true;
                break;
            case DOMNode::TEXT_NODE:
                hasText = hasText || !IsWhitespace(child->getNodeValue());
                break;
            default:
                break;
            }
        }
        if (hasElement && hasText) return true;
    }
    return false;
}

struct SerializerDeleter {
    void operator()(DOMLSSerializer* serializer) const { serializer->release(); }
};

struct OutputDeleter {
    void operator()(DOMLSOutput* output) const { output->release(); }
};

}  // namespace

void CXMLFileImpl::ParserDeleter::operator()(DOMLSParser* parser) const { parser->release(); }

CXMLFileImpl::CXMLFileImpl(const char* name)
    : m_fileName(CopyName(name)),
      m_errors(std::make_unique<CXMLParseErrors>()),
      m_resolver(std::make_unique<CXMLNoFetchResolver>()),
      m_security(std::make_unique<SecurityManager>()) {
    m_implementation = DOMImplementationRegistry::getDOMImplementation(CXString("LS"));
    if (!m_implementation) return;
    m_parser.reset(m_implementation->createLSParser(DOMImplementationLS::MODE_SYNCHRONOUS, nullptr,
                                                    XMLPlatformUtils::fgMemoryManager, nullptr));
    ConfigureParser();
}

void CXMLFileImpl::ConfigureParser() {
    DOMConfiguration* config = m_parser->getDomConfig();
    // Validation stays off: it would make the parser read external DTD subsets, and documents
    // here carry no grammar anyway.
    SetIfAccepted(config, XMLUni::fgDOMValidate, false);
    // A prefix is part of a name: every well-formed XML 1.0 document parses, whether or not it
    // declares its namespaces, and names match as written.
    SetIfAccepted(config, XMLUni::fgDOMNamespaces, false);
    SetIfAccepted(config, XMLUni::fgDOMDatatypeNormalization, true);
    // Entity references are replaced by their text: Write leaves out the document type that
    // declares them, so a kept reference would make the written file unreadable.
    SetIfAccepted(config, XMLUni::fgDOMEntities, false);
    // Nothing named inside a document is fetched.
    SetIfAccepted(config, XMLUni::fgXercesLoadExternalDTD, false);
    SetIfAccepted(config, XMLUni::fgXercesSchema, false);
    SetIfAccepted(config, XMLUni::fgXercesLoadSchema, false);
    SetIfAccepted(config, XMLUni::fgXercesDoXInclude, false);
    SetIfAccepted(config, XMLUni::fgXercesDisableDefaultEntityResolution, true);
    SetIfAccepted(config, XMLUni::fgDOMResourceResolver, static_cast<const void*>(m_resolver.get()));
    // Bounded entity expansion ("billion laughs").
    m_security->setEntityExpansionLimit(kEntityExpansionLimit);
    SetIfAccepted(config, XMLUni::fgXercesSecurityManager, static_cast<const void*>(m_security.get()));
    // Every well-formedness error fails the parse instead of yielding a partial document.
    SetIfAccepted(config, XMLUni::fgDOMErrorHandler, static_cast<const void*>(m_errors.get()));
}

CXMLFileImpl::~CXMLFileImpl() {
    ClearWrapperTree();
    DeleteDocument();  // while the parser that may own it still exists
    m_parser.reset();
}

const char* CXMLFileImpl::GetFilename() const { return m_fileName.get(); }

void CXMLFileImpl::SetFilename(const char* name) {
    if (name == m_fileName.get()) return;
    m_fileName = CopyName(name);
}

void CXMLFileImpl::RecordParseError(const std::string& detail) {
    SetLastError(CXMLErrorCodes::ParseError, (std::string(m_fileName.get()) + ":" + detail).c_str());
}

bool CXMLFileImpl::Parse() {
    if (!m_fileName) {
        SetLastError(CXMLErrorCodes::NoFileSpecified, "No file specified");
        return false;
    }
    Reset();
    if (!m_parser) {
        RecordParseError(" no XML parser available");
        return false;
    }
    // A streaming pass first: it enforces the nesting bound and the size of entity expansion as
    // the document is read, in time linear in its size, before any tree is built.
    {
        CXMLStreamReader check;
        if (check.Check(m_fileName.get()) != CXMLStreamReader::Result::Complete) {
            RecordParseError(" " + check.Error());
            return false;
        }
    }
    m_errors->Reset();
    std::string failure;
    try {
        // Read as a local file: the name is never taken for a URL.
        CXString path(m_fileName.get());
        Wrapper4InputSource input(new LocalFileInputSource(path));
        m_document = m_parser->parse(&input);
        m_parserOwned = true;
    } catch (const XMLException& e) {
        failure = std::string(" ") + CXMLTranscoder(e.getMessage()).localForm();
    } catch (const DOMException& e) {
        failure = std::string(" ") + CXMLTranscoder(e.getMessage()).localForm();
    }
    if (m_errors->Failed())
        failure = m_errors->Text();
    else if (failure.empty() && !m_document)
        failure = " no document";
    if (!failure.empty()) {
        // A partial document must not pass for the file's content; the pool may hold one even
        // when the parser returned none.
        m_document = nullptr;
        m_parser->resetDocumentPool();
        if (m_errors->Failed()) failure = " " + failure;
        RecordParseError(failure);
        return false;
    }
    try {
        if (!BuildWrapperTree()) {
            Reset();
            RecordParseError(" elements nested deeper than " + std::to_string(kMaxNestingDepth) + " levels");
            return false;
        }
    } catch (const XMLException& e) {
        RecordParseError(std::string(" ") + CXMLTranscoder(e.getMessage()).localForm());
        return false;
    }
    m_lastErrorCode = CXMLErrorCodes::NoError;
    return true;
}

bool CXMLFileImpl::BuildWrapperTree() {
    ClearWrapperTree();
    if (!m_document) return true;
    DOMElement* element = m_document->getDocumentElement();
    if (!element) return true;
    m_root.reset(new CXMLNodeImpl(this, nullptr, element));
    return BuildSubElements(m_root.get(), 1);
}

bool CXMLFileImpl::BuildSubElements(CXMLNodeImpl* node, unsigned int depth) {
    DOMElement* element = node->GetElement();
    if (!element) return true;
    DOMNodeList* children = element->getChildNodes();
    const XMLSize_t count = children->getLength();
    // Walk by sibling link: item(i) on a long child list is not constant time.
    XMLSize_t visited = 0;
    for (DOMNode* child = element->getFirstChild(); child && visited < count;
         child = child->getNextSibling(), ++visited) {
        if (child->getNodeType() == DOMNode::ELEMENT_NODE) {
            if (depth >= kMaxNestingDepth) return false;
            // The new node joins node's list, which owns it.
            auto* sub = new CXMLNodeImpl(this, node, static_cast<DOMElement*>(child));
            if (!BuildSubElements(sub, depth + 1)) return false;
        }
    }
    return true;
}

void CXMLFileImpl::ClearWrapperTree() {
    if (m_root) m_root.release()->DeleteWrapper();
}

void CXMLFileImpl::DeleteDocument() {
    if (!m_document) return;
    if (m_parserOwned)
        m_parser->resetDocumentPool();
    else
        m_document->release();
    m_document = nullptr;
}

void CXMLFileImpl::CreateEmptyDocument() {
    m_document = m_implementation ? m_implementation->createDocument(XMLPlatformUtils::fgMemoryManager) : nullptr;
    m_parserOwned = false;
}

void CXMLFileImpl::Reset() {
    ClearWrapperTree();
    DeleteDocument();
}

void CXMLFileImpl::Clear() {
    // The root's destructor removes its element and calls SetRootNode(nullptr).
    m_root.reset();
}

void CXMLFileImpl::SetRootNode(CXMLNodeImpl* node) {
    m_root.release();  // neither deleted nor detached here
    m_root.reset(node);
}

CXMLNode* CXMLFileImpl::CreateRootNode(const char* name) {
    if (!name) return nullptr;
    if (!m_document) CreateEmptyDocument();
    if (m_root || !m_document) return nullptr;
    CXString tag(name);
    DOMElement* element = nullptr;
    try {
        element = m_document->createElement(tag);
        m_document->appendChild(element);
    } catch (const DOMException&) {
        return nullptr;  // a name the DOM refuses, or a document element already there
    }
    m_root.reset(new CXMLNodeImpl(this, nullptr, element));
    return m_root.get();
}

CXMLNode* CXMLFileImpl::GetRootNode() { return m_root.get(); }

bool CXMLFileImpl::Serialise(std::string& bytes) const {
    try {
        std::unique_ptr<DOMLSSerializer, SerializerDeleter> serializer(m_implementation->createLSSerializer());
        DOMConfiguration* config = serializer->getDomConfig();
        // Default attribute values are written out: the document type that declares them is not.
        SetIfAccepted(config, XMLUni::fgDOMWRTDiscardDefaultContent, false);
        // Indenting text that sits beside elements would change it, and grow it on every rewrite;
        // such a document is written exactly as it is.
        SetIfAccepted(config, XMLUni::fgDOMWRTFormatPrettyPrint, !HasMixedContent(m_root->GetElement()));
        SetIfAccepted(config, XMLUni::fgDOMXMLDeclaration, false);
        // The library's own flavour of pretty-printing adds blank lines; keep plain indentation.
        SetIfAccepted(config, XMLUni::fgDOMWRTXercesPrettyPrint, false);
        serializer->setNewLine(CXString("\n"));
        MemBufFormatTarget target;
        std::unique_ptr<DOMLSOutput, OutputDeleter> output(m_implementation->createLSOutput());
        output->setByteStream(&target);
        // Always UTF-8: without a declaration that is the only encoding a reader may assume.
        output->setEncoding(CXString("UTF-8"));
        if (!serializer->write(m_root->GetElement(), output.get())) return false;
        bytes.assign(reinterpret_cast<const char*>(target.getRawBuffer()), target.getLen());
        // The serialiser opens with a line break; the file should open with the root's tag.
        if (!bytes.empty() && bytes.front() == '\n') bytes.erase(0, 1);
        if (bytes.empty() || bytes.back() != '\n') bytes.push_back('\n');
        return true;
    } catch (const XMLException&) {
    } catch (const DOMException&) {
    }
    return false;
}

bool CXMLFileImpl::Write() {
    if (!m_document || !m_root || !m_root->GetElement() || !m_fileName || !m_implementation) return false;
    std::string bytes;
    if (!Serialise(bytes)) return false;
    CAtomicFile file(m_fileName.get());
    return file.Open() && file.Write(bytes.data(), bytes.size()) && file.Commit();
}

CXMLErrorCodes::Code CXMLFileImpl::GetLastError(char* buffer, unsigned int capacity) const {
    if (buffer && capacity > 0) {
        const std::size_t length = std::strlen(m_lastErrorText);
        if (length < capacity)
            std::memcpy(buffer, m_lastErrorText, length + 1);
        else
            buffer[0] = '\0';
    }
    return m_lastErrorCode;
}

void CXMLFileImpl::SetLastError(CXMLErrorCodes::Code code, const char* text) {
    m_lastErrorCode = code;
    if (!text) text = "";
    const std::size_t length = std::min(std::strlen(text), sizeof m_lastErrorText - 1);
    std::memcpy(m_lastErrorText, text, length);
    m_lastErrorText[length] = '\0';
}
