#ifndef MAD_XML_CXMLFILEIMPL_H
#define MAD_XML_CXMLFILEIMPL_H

#include <memory>
#include <string>

#include <xercesc/util/XercesDefs.hpp>

#include "xml/CXMLFile.h"
#include "xml/CXMLNodeImpl.h"
#include "xml/CXMLStreamReader.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMDocument;
class DOMImplementation;
class DOMLSParser;
class SecurityManager;
XERCES_CPP_NAMESPACE_END

class CXMLNoFetchResolver;
class CXMLParseErrors;

// One XML file bound to at most one DOM document, with the wrapper tree of its elements.
// Owns its name copy, its parser, its document (through the parser when parsed) and the tree.
// The XML platform must be initialised before construction.
//
// Parsing is strict and closed: a well-formedness error fails Parse (code ParseError, text
// "file: line L, column C: message"), nothing named inside a document (external entity, external
// DTD, XInclude, schema) is ever opened, entity expansion is limited in count and size, and the
// nesting bound is checked while reading (CXMLStreamReader runs first). Namespace processing is
// off: a prefix is part of the name. Write replaces the file
// atomically with the root element as UTF-8 without an XML declaration.
class CXMLFileImpl final : public CXMLFile {
public:
    // Entity expansions allowed per parse; a document needing more fails to parse. With the
    // reader's bound on each entity's text, expansion adds at most kMaxExpandedText characters.
    static constexpr unsigned int kEntityExpansionLimit = CXMLStreamReader::kEntityExpansionLimit;
    // Deepest element nesting a parse accepts. The wrapper tree, its teardown and the serialiser
    // recurse once per level, so a deeper document from the network could exhaust the stack.
    static constexpr unsigned int kMaxNestingDepth = CXMLStreamReader::kMaxNestingDepth;

    explicit CXMLFileImpl(const char* name);
    ~CXMLFileImpl() override;

    CXMLFileImpl(const CXMLFileImpl&) = delete;
    CXMLFileImpl& operator=(const CXMLFileImpl&) = delete;

    const char* GetFilename() const override;
    void SetFilename(const char* name) override;
    bool Parse() override;
    bool Write() override;
    void Clear() override;
    void Reset() override;
    CXMLNode* CreateRootNode(const char* name) override;
    CXMLNode* GetRootNode() override;
    CXMLErrorCodes::Code GetLastError(char* buffer, unsigned int capacity) const override;
    void SetLastError(CXMLErrorCodes::Code code, const char* text) override;

    XERCES_CPP_NAMESPACE::DOMDocument* GetDocument() const { return m_document; }
    // Stores node as the root without deleting or detaching a previous one (a node being
    // destroyed calls this with null).
    void SetRootNode(CXMLNodeImpl* node);

private:
    struct ParserDeleter {
        void operator()(XERCES_CPP_NAMESPACE::DOMLSParser* parser) const;
    };

    void ConfigureParser();
    void CreateEmptyDocument();
    void DeleteDocument();
    // False when the document nests deeper than kMaxNestingDepth.
    bool BuildWrapperTree();
    bool BuildSubElements(CXMLNodeImpl* node, unsigned int depth);
    void ClearWrapperTree();
    bool Serialise(std::string& bytes) const;
    void RecordParseError(const std::string& detail);

    std::unique_ptr<char[]> m_fileName;
    CXMLErrorCodes::Code m_lastErrorCode = CXMLErrorCodes::NoError;
    char m_lastErrorText[128] = {};
    XERCES_CPP_NAMESPACE::DOMImplementation* m_implementation = nullptr;
    // Declared before the parser, which uses them until it is destroyed.
    std::unique_ptr<CXMLParseErrors> m_errors;
    std::unique_ptr<CXMLNoFetchResolver> m_resolver;
    std::unique_ptr<XERCES_CPP_NAMESPACE::SecurityManager> m_security;
    std::unique_ptr<XERCES_CPP_NAMESPACE::DOMLSParser, ParserDeleter> m_parser;
    XERCES_CPP_NAMESPACE::DOMDocument* m_document = nullptr;
    bool m_parserOwned = false;
    std::unique_ptr<CXMLNodeImpl> m_root;
};

#endif
