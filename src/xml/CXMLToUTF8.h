#ifndef MAD_XML_CXMLTOUTF8_H
#define MAD_XML_CXMLTOUTF8_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <xercesc/util/XercesDefs.hpp>

XERCES_CPP_NAMESPACE_BEGIN
class XMLTranscoder;
XERCES_CPP_NAMESPACE_END

// Hands on a document as UTF-8, so that what reads it next (the token filter) sees every
// document in the one encoding it can cut. The encoding is found as the parser finds it: UTF-16
// or UTF-32 by its byte order mark or first bytes, otherwise the encoding named by the XML
// declaration (read in EBCDIC when the first bytes are EBCDIC),
// and it is decoded with the parser's own transcoder for that name, so exactly the encodings
// the parser accepts are read. The declaration's encoding is rewritten to "UTF-8" in place;
// line breaks are never added or removed, so line numbers stay those of the document.
// A document in UTF-8 (named, or by default), and one whose encoding this class does not take (a
// name the parser does not know, a declaration that contradicts the byte order mark or the bytes it
// is written in, an XML declaration of over 1024 characters), is passed on byte for byte, for the
// parser to read or refuse as it always has. Bytes that are not in the document's encoding, and a
// NUL character (which the parser would take for the end of its input), end the output where they
// are and leave a Fault naming their place. Holds a fixed-size buffer, never the document. The XML
// platform must be initialised.
class CXMLToUTF8 final {
public:
    // Fills a buffer with up to size bytes of the document; 0 at its end. May throw.
    using Source = std::function<std::size_t(char* buffer, std::size_t size)>;

    // Where the document stopped being its encoding; empty message when it did not.
    struct Fault {
        std::size_t line = 0;
        // "line L, column C: what is wrong", for the reader's error.
        std::string message;
    };

    explicit CXMLToUTF8(Source source);
    ~CXMLToUTF8();
    CXMLToUTF8(const CXMLToUTF8&) = delete;
    CXMLToUTF8& operator=(const CXMLToUTF8&) = delete;

    // Up to size bytes of the document in UTF-8; 0 at its end or at a fault.
    std::size_t Read(char* buffer, std::size_t size);

    const Fault& Failure() const { return m_fault; }

private:
    enum class Mode { Head, Pass, Transcode, Done };

    // Reads the first bytes and decides how the rest is handed on.
    void Start();
    // Reads more of the document after what is left in m_raw; false at its end.
    bool More();
    // Decodes some of m_raw into m_out; false once there is nothing more to decode.
    bool Decode();
    void Append(char32_t code);
    // Of size bytes passed on as they are, those before a NUL, counted into the place; a NUL
    // fails and ends the document.
    std::size_t Pass(const char* data, std::size_t size);
    void Fail(const std::string& what);

    Source m_source;
    Mode m_mode = Mode::Head;
    std::unique_ptr<XERCES_CPP_NAMESPACE::XMLTranscoder> m_transcoder;
    std::string m_encoding;
    std::vector<char> m_raw;
    std::size_t m_rawPos = 0;
    std::size_t m_rawEnd = 0;
    bool m_bEnd = false;
    std::vector<char16_t> m_units;
    std::vector<unsigned char> m_sizes;
    // Bytes still to be decoded one character at a time, after the transcoder threw on a block.
    std::size_t m_careful = 0;
    char16_t m_high = 0;
    std::string m_out;
    std::size_t m_outPos = 0;
    // Where the declaration's encoding value is in the output, to be rewritten once it is there.
    std::size_t m_valueAt = 0;
    std::size_t m_valueEnd = 0;
    std::size_t m_line = 1;
    std::size_t m_column = 1;
    bool m_bCarriageReturn = false;
    // Passed on as it is and read by the parser as UTF-8, so a zero byte is a NUL character.
    bool m_bUtf8 = false;
    Fault m_fault;
};

#endif
