#ifndef MAD_XML_CXMLSTREAMREADER_H
#define MAD_XML_CXMLSTREAMREADER_H

#include <cstddef>
#include <functional>
#include <string>

#include <xercesc/util/XercesDefs.hpp>

#include "xml/CXMLTokenFilter.h"

XERCES_CPP_NAMESPACE_BEGIN
class InputSource;
XERCES_CPP_NAMESPACE_END

// What a streaming read reports, in document order. Names are qualified names as written
// ("editor:map"): prefixes are part of the name and no namespace is resolved; an element name
// longer than 256 bytes is reported as its first 32 characters, '~' and 32 hex digits of a hash. Depth 1 is the
// root element. Text is every character of content, CDATA included, comments excluded.
class CXMLStreamHandler {
public:
    virtual ~CXMLStreamHandler() = default;
    virtual void StartElement(const XMLCh* name, unsigned int depth) = 0;
    virtual void EndElement(unsigned int depth) = 0;
    virtual void Characters(const XMLCh* text, std::size_t length) = 0;
    // Asked between tokens; true ends the read early (Result::Ended), e.g. once the handler
    // has what it needs. The rest of the document is then not checked.
    virtual bool Finished() const { return false; }
};

// Bytes of a document that arrive from elsewhere than a file, such as a download in progress.
class CXMLByteSource {
public:
    virtual ~CXMLByteSource() = default;
    // Fills buffer with up to size bytes, waiting until there is at least one; 0 at the end.
    virtual std::size_t ReadSome(unsigned char* buffer, std::size_t size) = 0;
};

// Reads one local XML file from start to end with a streaming (SAX2) parse, in memory that does
// not grow with the file: the parser keeps no state per element, a document reaches it in UTF-8
// (CXMLToUTF8) through CXMLTokenFilter (so comments, CDATA sections, instructions, attribute
// values and names of any length, and any number of different element names, are read), and all
// it allocates for one read stays within kMemoryBudget. What still needs more fails: a tag with
// very many attributes, a huge DOCTYPE, a huge token in a document not in UTF-8 whose XML
// declaration is over 1024 characters (passed on unchanged), or very many different element names
// in a document with an internal DTD subset. The read is strict and closed like the document
// layer's: every well-formedness error fails it, nothing named inside a document (external entity,
// external DTD, schema) is ever opened, elements nest at most kMaxNestingDepth levels (checked as
// each element opens, so any document fails or succeeds in time linear in its size), and entity
// expansion is bounded in count and in size. Namespace processing is off. Not thread-safe; each
// thread uses its own reader. The XML platform must be initialised.
class CXMLStreamReader final {
public:
    enum class Result { Complete, Failed, Ended, Stopped };

    static constexpr unsigned int kMaxNestingDepth = 2048;
    // Entity references expanded per document.
    static constexpr unsigned int kEntityExpansionLimit = 100;
    // Text that entity expansion may add to a document, in characters. Each expansion adds at
    // most its entity's replacement text, so declared replacement texts are limited to an equal
    // share of this.
    static constexpr std::size_t kMaxExpandedText = 4u * 1024u * 1024u;
    static constexpr std::size_t kMaxEntityText = kMaxExpandedText / kEntityExpansionLimit;
    // Bytes the parser may hold at once for one read.
    static constexpr std::size_t kMemoryBudget = 16u * 1024u * 1024u;

    // stopRequested, when set, is asked between tokens; true ends the read (Result::Stopped).
    // limits are where the token filter cuts: tests shrink them, everything else keeps them.
    explicit CXMLStreamReader(std::function<bool()> stopRequested = {},
                              const CXMLTokenFilter::Limits& limits = CXMLTokenFilter::Limits());
    ~CXMLStreamReader();
    CXMLStreamReader(const CXMLStreamReader&) = delete;
    CXMLStreamReader& operator=(const CXMLStreamReader&) = delete;

    // Reads the file at path (never taken for a URL) and reports it to handler. Complete means
    // the whole file is a well-formed document; Failed sets Error().
    Result Read(const char* path, CXMLStreamHandler& handler);
    // The same for a file already open for reading (borrowed, left open): read from its first
    // byte with positioned reads, so its offset is not moved and it may be read again.
    Result Read(int fd, CXMLStreamHandler& handler);
    // The same for bytes from source, read until it ends.
    Result Read(CXMLByteSource& source, CXMLStreamHandler& handler);
    // Read with a handler that ignores everything: is the file a well-formed document?
    Result Check(const char* path);

    // "line L, column C: message", or a message without a place; empty before a failure.
    const std::string& Error() const { return m_error; }
    // The errno of a failed Read that could not open or read the file (Error() is then the
    // system's text for it); 0 when the read failed on the document itself, or did not fail.
    int SystemError() const { return m_systemError; }

private:
    class Events;

    Result Parse(XERCES_CPP_NAMESPACE::InputSource& source, CXMLStreamHandler& handler);

    std::function<bool()> m_stopRequested;
    const CXMLTokenFilter::Limits m_limits;
    std::string m_error;
    int m_systemError = 0;
};

#endif
