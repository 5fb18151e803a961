#include "xml/CXMLStreamReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/framework/XMLPScanToken.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "xml/CXMLToUTF8.h"
#include "xml/CXMLTokenFilter.h"
#include "xml/CXMLTranscoder.h"
#include "xml/CXString.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {

// Ignores everything: a read that only checks the document.
class NoEvents final : public CXMLStreamHandler {
public:
    void StartElement(const XMLCh*, unsigned int) override {}
    void EndElement(unsigned int) override {}
    void Characters(const XMLCh*, std::size_t) override {}
};

// The bytes of one open regular file, read with positioned reads from its first byte; closes the
// descriptor when it owns it. A failed read leaves its errno in *systemError.
class DescriptorStream final : public BinInputStream {
public:
    DescriptorStream(int fd, bool owned, int* systemError) : m_fd(fd), m_owned(owned), m_systemError(systemError) {}
    ~DescriptorStream() override {
        if (m_owned) ::close(m_fd);
    }
    DescriptorStream(const DescriptorStream&) = delete;
    DescriptorStream& operator=(const DescriptorStream&) = delete;

    XMLFilePos curPos() const override { return m_position; }
    XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
        for (;;) {
            const ssize_t got = ::pread(m_fd, toFill, maxToRead, static_cast<off_t>(m_position));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                *m_systemError = errno;
                ThrowXML(XMLPlatformUtilsException, XMLExcepts::File_CouldNotReadFromFile);
            }
            m_position += static_cast<XMLFilePos>(got);
            return static_cast<XMLSize_t>(got);
        }
    }
    const XMLCh* getContentType() const override { return nullptr; }

private:
    int m_fd;
    bool m_owned;
    int* m_systemError;
    XMLFilePos m_position = 0;
};

// A local file by name, never taken for a URL, and opened so that it cannot block: only a
// regular file is read, whatever the name was when the caller looked at it. A file that cannot
// be opened leaves its errno in *systemError.
class RegularFileSource final : public InputSource {
public:
    RegularFileSource(const char* path, int* systemError)
        : InputSource(path), m_path(path), m_systemError(systemError) {}

    BinInputStream* makeStream() const override {
        const int fd = ::open(m_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            *m_systemError = errno;
            return nullptr;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            return nullptr;
        }
        return new DescriptorStream(fd, true, m_systemError);  // the parser owns the stream it asked for
    }

private:
    std::string m_path;
    int* m_systemError;
};

// A file the caller has open; it stays open.
class DescriptorSource final : public InputSource {
public:
    DescriptorSource(int fd, int* systemError) : InputSource("open file"), m_fd(fd), m_systemError(systemError) {}

    BinInputStream* makeStream() const override {
        return new DescriptorStream(m_fd, false, m_systemError);  // the parser owns the stream it asked for
    }

private:
    int m_fd;
    int* m_systemError;
};

// The bytes of a caller's source, handed to the parser as they come.
class ByteSourceStream final : public BinInputStream {
public:
    explicit ByteSourceStream(CXMLByteSource& source) : m_source(source) {}

    XMLFilePos curPos() const override { return m_position; }
    XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
        const std::size_t got = m_source.ReadSome(toFill, maxToRead);
        m_position += static_cast<XMLFilePos>(got);
        return static_cast<XMLSize_t>(got);
    }
    const XMLCh* getContentType() const override { return nullptr; }

private:
    CXMLByteSource& m_source;
    XMLFilePos m_position = 0;
};

class ByteSourceInput final : public InputSource {
public:
    explicit ByteSourceInput(CXMLByteSource& source) : InputSource("stream"), m_source(source) {}

    BinInputStream* makeStream() const override {
        return new ByteSourceStream(m_source);  // the parser owns the stream it asked for
    }

private:
    CXMLByteSource& m_source;
};

// The document in UTF-8 as the token filter rewrites it; owns the stream it reads from.
class FilterStream final : public BinInputStream {
public:
    // filter, endsInsideCharacter and fault, borrowed, are the reader's view of this stream:
    // filter points at this stream's filter while it lives, and the others are set when it
    // ends, since the parser may let go of the stream before its result is looked at.
    FilterStream(BinInputStream* inner, const CXMLTokenFilter::Limits& limits, CXMLTokenFilter** filter,
                 bool* endsInsideCharacter, CXMLToUTF8::Fault* fault)
        : m_inner(inner),
          m_filterSlot(filter),
          m_endsInsideCharacter(endsInsideCharacter),
          m_fault(fault),
          m_utf8([this](char* buffer, std::size_t size) {
              return static_cast<std::size_t>(m_inner->readBytes(reinterpret_cast<XMLByte*>(buffer), size));
          }),
          m_filter([this](char* buffer, std::size_t size) { return m_utf8.Read(buffer, size); },
                   CXMLStreamReader::kMaxNestingDepth, limits) {
        *m_filterSlot = &m_filter;
    }
    ~FilterStream() override {
        if (*m_filterSlot == &m_filter) *m_filterSlot = nullptr;
        *m_endsInsideCharacter = m_filter.EndsInsideCharacter();
        *m_fault = m_utf8.Failure();
    }
    FilterStream(const FilterStream&) = delete;
    FilterStream& operator=(const FilterStream&) = delete;

    // Reads ahead, keeping what it read for the parser, until the filter has seen the root
    // element's start tag or limit bytes: true when it did and no DOCTYPE came before it.
    bool PeekRootWithoutDoctype(std::size_t limit) {
        constexpr std::size_t kPiece = 4096;
        while (!m_filter.RootWithoutDoctype() && m_peeked.size() < limit) {
            const std::size_t had = m_peeked.size();
            m_peeked.resize(had + kPiece);
            const std::size_t got = m_filter.Read(&m_peeked[had], kPiece);
            m_peeked.resize(had + got);
            if (got == 0) break;
        }
        return m_filter.RootWithoutDoctype();
    }

    XMLFilePos curPos() const override { return m_position; }
    XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
        std::size_t got = 0;
        if (m_peekedPos < m_peeked.size()) {
            got = std::min(maxToRead, m_peeked.size() - m_peekedPos);
            std::memcpy(toFill, m_peeked.data() + m_peekedPos, got);
            m_peekedPos += got;
            if (m_peekedPos == m_peeked.size()) std::string().swap(m_peeked);
        } else {
            got = m_filter.Read(reinterpret_cast<char*>(toFill), maxToRead);
        }
        m_position += got;
        return got;
    }
    const XMLCh* getContentType() const override { return nullptr; }

private:
    std::unique_ptr<BinInputStream> m_inner;
    CXMLTokenFilter** m_filterSlot;
    bool* m_endsInsideCharacter;
    CXMLToUTF8::Fault* m_fault;
    CXMLToUTF8 m_utf8;
    CXMLTokenFilter m_filter;
    // Read ahead before the parse, given to the parser first.
    std::string m_peeked;
    std::size_t m_peekedPos = 0;
    XMLFilePos m_position = 0;
};

// Another source's document through the token filter. Filter() is the filter of the stream the
// parser reads, null once the parser has let go of it.
class FilteredSource final : public InputSource {
public:
    FilteredSource(InputSource& inner, const CXMLTokenFilter::Limits& limits)
        : InputSource(inner.getSystemId()), m_inner(inner), m_limits(limits) {}

    // Opens the stream ahead of the parse and reads its start: true when the document's root
    // element comes within limit bytes with no DOCTYPE before it.
    bool PeekRootWithoutDoctype(std::size_t limit) {
        BinInputStream* inner = m_inner.makeStream();
        if (!inner) return false;
        m_peeked = std::make_unique<FilterStream>(inner, m_limits, &m_filter, &m_bEndsInsideCharacter, &m_fault);
        return m_peeked->PeekRootWithoutDoctype(limit);
    }

    BinInputStream* makeStream() const override {
        // The parser owns the stream it asked for.
        if (m_peeked) return m_peeked.release();
        BinInputStream* inner = m_inner.makeStream();
        if (!inner) return nullptr;
        return new FilterStream(inner, m_limits, &m_filter, &m_bEndsInsideCharacter, &m_fault);
    }

    CXMLTokenFilter* Filter() const { return m_filter; }
    // Known once the parser has let go of the stream it read.
    bool EndsInsideCharacter() const { return m_bEndsInsideCharacter; }
    // Where the document stopped being its encoding, known as EndsInsideCharacter is.
    const CXMLToUTF8::Fault& Fault() const { return m_fault; }

private:
    InputSource& m_inner;
    const CXMLTokenFilter::Limits m_limits;
    mutable CXMLTokenFilter* m_filter = nullptr;
    mutable bool m_bEndsInsideCharacter = false;
    mutable CXMLToUTF8::Fault m_fault;
    // Opened and read ahead before the parse, until the parser takes it; its view of the filter
    // is the three members above.
    mutable std::unique_ptr<FilterStream> m_peeked;
};

// Everything the parser of one read allocates, within a budget: past it an allocation throws the
// parser's own out-of-memory exception, which ends the read. Blocks the parser did not give back
// on that path are freed with the manager, which must outlive the parser.
class BudgetMemoryManager final : public MemoryManager {
public:
    explicit BudgetMemoryManager(std::size_t budget) : m_budget(budget) {}
    ~BudgetMemoryManager() override {
        while (m_live.next != &m_live) Release(m_live.next);
    }
    BudgetMemoryManager(const BudgetMemoryManager&) = delete;
    BudgetMemoryManager& operator=(const BudgetMemoryManager&) = delete;

    // Exceptions may outlive the read.
    MemoryManager* getExceptionMemoryManager() override { return XMLPlatformUtils::fgMemoryManager; }

    void* allocate(XMLSize_t size) override {
        // What the block takes from the heap: its header and the allocator's own word or two.
        const std::size_t cost = sizeof(Block) + size + kAllocatorOverhead;
        if (size > m_budget || cost > m_budget - m_used) {
            m_bExceeded = true;
            throw OutOfMemoryException();
        }
        void* raw = std::malloc(sizeof(Block) + size);
        if (!raw) throw OutOfMemoryException();
        Block* block = new (raw) Block{&m_live, m_live.next, cost};
        m_live.next->prev = block;
        m_live.next = block;
        m_used += cost;
        return block + 1;
    }
    void deallocate(void* p) override {
        if (p) Release(static_cast<Block*>(p) - 1);
    }

    bool Exceeded() const { return m_bExceeded; }

private:
    static constexpr std::size_t kAllocatorOverhead = 16;

    // Each block is preceded by its links and size; its size keeps what follows aligned for any type.
    struct alignas(std::max_align_t) Block {
        Block* prev;
        Block* next;
        std::size_t size;
    };

    void Release(Block* block) {
        block->prev->next = block->next;
        block->next->prev = block->prev;
        m_used -= block->size;
        std::free(block);
    }

    Block m_live{&m_live, &m_live, 0};
    std::size_t m_budget;
    std::size_t m_used = 0;
    bool m_bExceeded = false;
};

// How far into a document its root element is looked for before the parse.
constexpr std::size_t kPeekBytes = 64u * 1024u;

std::string LocalText(const XMLCh* text) {
    CXMLTranscoder local(text);
    return local.localForm() ? local.localForm() : "";
}

}  // namespace

// The parser's callbacks: forwards elements and text to the handler with their depth, keeps the
// first fatal error, and notes the limits this reader adds. The read loop checks Stop() between
// tokens, so nothing is thrown through the parser.
class CXMLStreamReader::Events final : public DefaultHandler {
public:
    Events(CXMLStreamHandler& handler, const FilteredSource& source) : m_handler(handler), m_source(source) {}

    void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const qname, const Attributes&) override {
        if (m_failed) return;
        if (++m_depth > kMaxNestingDepth) {
            Fail("elements nested deeper than " + std::to_string(kMaxNestingDepth) + " levels");
            return;
        }
        // A stand-in from the filter: the element's own name is waiting there.
        if (XMLString::equals(qname, kStandIn) && m_source.Filter() && m_source.Filter()->TakeName(m_name)) {
            m_handler.StartElement(m_name.c_str(), m_depth);
            return;
        }
        m_handler.StartElement(qname, m_depth);
    }

    void endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const) override {
        if (m_failed) return;
        m_handler.EndElement(m_depth);
        --m_depth;
    }

    void characters(const XMLCh* const chars, const XMLSize_t length) override {
        if (!m_failed && m_depth > 0) m_handler.Characters(chars, length);
    }

    void internalEntityDecl(const XMLCh* const name, const XMLCh* const value) override {
        if (!m_failed && XMLString::stringLen(value) > kMaxEntityText)
            Fail("entity '" + LocalText(name) + "' is longer than " + std::to_string(kMaxEntityText) + " characters");
    }

    // Nothing named inside a document is opened: with default resolution off, no source means
    // the entity is not read.
    InputSource* resolveEntity(const XMLCh* const, const XMLCh* const) override { return nullptr; }

    void fatalError(const SAXParseException& e) override {
        if (m_failed) return;
        m_errorLine = e.getLineNumber();
        std::string place;
        if (e.getLineNumber() > 0)
            place =
                "line " + std::to_string(e.getLineNumber()) + ", column " + std::to_string(e.getColumnNumber()) + ": ";
        std::u16string message(e.getMessage());
        // The parser can only name a stand-in: an end tag that does not match one, or a start
        // tag that is not whole (the next stand-in it has not reported), gets its real name.
        const CXMLTokenFilter* filter = m_source.Filter();
        const std::u16string standIn = u"'" + std::u16string(kStandIn) + u"'";
        const std::size_t at = message.find(standIn);
        if (filter && at != std::u16string::npos) {
            const std::u16string* name = &filter->Expected();
            if (name->empty() && message.find(u"start tag") != std::u16string::npos) name = filter->NextName();
            if (name && !name->empty()) message.replace(at, standIn.size(), u"'" + *name + u"'");
        }
        Fail(place + LocalText(message.c_str()));
    }
    // Validity errors and warnings do not apply: documents here carry no grammar.
    void error(const SAXParseException&) override {}
    void warning(const SAXParseException&) override {}

    void Fail(const std::string& text) {
        if (!m_failed) {
            m_failed = true;
            m_error = text.empty() ? "parse error" : text;
        }
    }
    bool Failed() const { return m_failed; }
    const std::string& Error() const { return m_error; }
    unsigned int Depth() const { return m_depth; }
    // The line of the parser's error; 0 when it named none.
    XMLFileLoc ErrorLine() const { return m_errorLine; }

private:
    static constexpr XMLCh kStandIn[] = {chUnderscore, chNull};

    CXMLStreamHandler& m_handler;
    const FilteredSource& m_source;
    std::u16string m_name;
    unsigned int m_depth = 0;
    bool m_failed = false;
    XMLFileLoc m_errorLine = 0;
    std::string m_error;
};

CXMLStreamReader::CXMLStreamReader(std::function<bool()> stopRequested, const CXMLTokenFilter::Limits& limits)
    : m_stopRequested(std::move(stopRequested)), m_limits(limits) {}

CXMLStreamReader::~CXMLStreamReader() = default;

CXMLStreamReader::Result CXMLStreamReader::Check(const char* path) {
    NoEvents none;
    return Read(path, none);
}

CXMLStreamReader::Result CXMLStreamReader::Read(const char* path, CXMLStreamHandler& handler) {
    m_error.clear();
    m_systemError = 0;
    if (!path) {
        m_error = "no file specified";
        return Result::Failed;
    }
    RegularFileSource source(path, &m_systemError);
    return Parse(source, handler);
}

CXMLStreamReader::Result CXMLStreamReader::Read(int fd, CXMLStreamHandler& handler) {
    m_error.clear();
    m_systemError = 0;
    DescriptorSource source(fd, &m_systemError);
    return Parse(source, handler);
}

CXMLStreamReader::Result CXMLStreamReader::Read(CXMLByteSource& source, CXMLStreamHandler& handler) {
    m_error.clear();
    m_systemError = 0;
    ByteSourceInput input(source);
    return Parse(input, handler);
}

CXMLStreamReader::Result CXMLStreamReader::Parse(InputSource& document, CXMLStreamHandler& handler) {
    FilteredSource source(document, m_limits);
    Events events(handler, source);
    SecurityManager security;
    security.setEntityExpansionLimit(kEntityExpansionLimit);
    Result result = Result::Complete;
    BudgetMemoryManager memory(kMemoryBudget);
    try {
        // A document that declares nothing gets the scanner that only checks well-formedness,
        // the fastest; the DTD scanner reads the rest (the general one keeps every child of an
        // open element, the root's are all of a map, for content models never checked here).
        const bool plain = source.PeekRootWithoutDoctype(kPeekBytes);
        std::unique_ptr<SAX2XMLReader> reader(XMLReaderFactory::createXMLReader(&memory));
        reader->setProperty(XMLUni::fgXercesScannerName,
                            const_cast<XMLCh*>(plain ? XMLUni::fgWFXMLScanner : XMLUni::fgDGXMLScanner));
        // A prefix is part of a name: every well-formed XML 1.0 document reads, declared
        // namespaces or not.
        reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, false);
        reader->setFeature(XMLUni::fgSAX2CoreNameSpacePrefixes, false);
        reader->setFeature(XMLUni::fgSAX2CoreValidation, false);
        reader->setFeature(XMLUni::fgXercesSchema, false);
        reader->setFeature(XMLUni::fgXercesLoadSchema, false);
        reader->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
        reader->setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
        // Only a declared entity can expand: the well-formedness scanner would count each
        // predefined one ("&amp;") against the limit.
        if (!plain) reader->setProperty(XMLUni::fgXercesSecurityManager, &security);
        reader->setContentHandler(&events);
        reader->setErrorHandler(&events);
        reader->setEntityResolver(&events);
        reader->setDeclarationHandler(&events);

        XMLPScanToken token;
        bool more = reader->parseFirst(source, token);
        while (more && !events.Failed()) {
            if (m_stopRequested && m_stopRequested()) {
                result = Result::Stopped;
                break;
            }
            if (handler.Finished()) {
                result = Result::Ended;
                break;
            }
            more = reader->parseNext(token);
        }
        if (result != Result::Complete || events.Failed()) reader->parseReset(token);
    } catch (const XMLException& e) {
        events.Fail(LocalText(e.getMessage()));
    } catch (const SAXException& e) {
        events.Fail(LocalText(e.getMessage()));
    } catch (const OutOfMemoryException&) {
        events.Fail(memory.Exceeded() ? "the document needs more than " + std::to_string(kMemoryBudget >> 20) +
                                            " MiB to read (a tag with very many attributes, a very long "
                                            "declaration, or a very long token in a document not in UTF-8 whose XML "
                                            "declaration is longer than 1024 characters)"
                                      : "out of memory");
    }
    // Bytes not in the document's encoding end what the parser sees: its error comes from that
    // end unless it found one on an earlier line.
    const CXMLToUTF8::Fault& fault = source.Fault();
    if (m_systemError == 0 && !fault.message.empty() && (result == Result::Complete || events.Failed()) &&
        (!events.Failed() || events.ErrorLine() == 0 || events.ErrorLine() >= fault.line)) {
        m_error = fault.message;
        return Result::Failed;
    }
    if (events.Failed()) {
        // The system's reason, not the parser's account of it: the file is not to blame.
        m_error = m_systemError != 0 ? std::strerror(m_systemError) : events.Error();
        return Result::Failed;
    }
    if (result == Result::Complete && source.EndsInsideCharacter()) {
        m_error = "the document ends inside a character (bytes that are not UTF-8)";
        return Result::Failed;
    }
    if (result == Result::Complete && events.Depth() != 0) {
        m_error = "document ends inside an element";
        return Result::Failed;
    }
    return result;
}
