#include "xml/CXMLToUTF8.h"

#include <algorithm>
#include <cstring>

#include <xercesc/framework/XMLRecognizer.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "xml/CXMLTranscoder.h"
#include "xml/PendingBytes.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {

// The parser takes a NUL for the end of its input: what follows would go unread.
const char* const kNul = "a NUL character, which XML does not allow";

constexpr std::size_t kRawBytes = 64 * 1024;
constexpr std::size_t kUnits = 16 * 1024;
// The longest declaration looked for, in characters; a longer one is left to the parser.
constexpr std::size_t kMaxDeclarationChars = 1024;
// Bytes of one character in any encoding the parser knows.
constexpr std::size_t kMaxCharBytes = 8;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// The first characters of the document as ASCII: each code unit of width bytes below 0x80 as
// itself, any other as 0x80. Enough to read a declaration, which is all ASCII.
std::string HeadText(const char* data, std::size_t size, std::size_t width, bool bigEndian) {
    if (width == 1) return std::string(data, size);
    std::string text;
    for (std::size_t i = 0; i + width <= size; i += width) {
        char32_t unit = 0;
        for (std::size_t b = 0; b < width; ++b)
            unit = (unit << 8) | static_cast<unsigned char>(data[bigEndian ? i + b : i + width - 1 - b]);
        text += unit < 0x80 ? static_cast<char>(unit) : '\x80';
    }
    return text;
}

// The first characters of a document in EBCDIC, read as the parser reads its declaration: one
// byte a character, those that are not ASCII as 0x80.
std::string EbcdicHeadText(const char* data, std::size_t size) {
    XMLTransService::Codes code = XMLTransService::Ok;
    std::unique_ptr<XMLTranscoder> transcoder(
        XMLPlatformUtils::fgTransService->makeNewTranscoderFor(XMLRecognizer::EBCDIC, code, kUnits));
    std::string text;
    if (!transcoder) return text;
    std::vector<XMLCh> units(size + 1);
    std::vector<unsigned char> sizes(size + 1);
    XMLSize_t eaten = 0;
    try {
        const XMLSize_t made = transcoder->transcodeFrom(reinterpret_cast<const XMLByte*>(data), size, units.data(),
                                                         units.size(), eaten, sizes.data());
        for (XMLSize_t i = 0; i < made; ++i) text += units[i] < 0x80 ? static_cast<char>(units[i]) : '\x80';
    } catch (const XMLException&) {
        text.clear();
    }
    return text;
}

bool StartsDeclaration(const std::string& head) {
    return head.size() > 5 && head.compare(0, 5, "<?xml") == 0 && IsSpace(head[5]);
}

// The encoding named by the declaration that head starts with, and where its value is; false
// when the declaration's end or its encoding cannot be read here.
bool DeclaredEncoding(const std::string& head, std::string& name, std::size_t& at, std::size_t& end) {
    name.clear();
    const std::size_t close = head.find("?>");
    // Anything but ASCII in it and offsets in the head are no longer offsets in the output.
    if (close == std::string::npos || std::any_of(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(close),
                                                  [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        return false;
    const std::size_t key = head.find("encoding", 5);
    if (key == std::string::npos || key > close) return true;
    if (!IsSpace(head[key - 1])) return false;
    std::size_t pos = key + 8;
    while (pos < close && IsSpace(head[pos])) ++pos;
    if (pos >= close || head[pos] != '=') return false;
    ++pos;
    while (pos < close && IsSpace(head[pos])) ++pos;
    if (pos >= close || (head[pos] != '"' && head[pos] != '\'')) return false;
    at = pos + 1;
    end = head.find(head[pos], at);
    if (end == std::string::npos || end > close || end == at) return false;
    name = head.substr(at, end - at);
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

XMLRecognizer::Encodings FamilyOf(const std::string& upperName) {
    std::u16string name(upperName.begin(), upperName.end());
    return XMLRecognizer::encodingForName(name.c_str());
}

// Whether a document the probe found in UCS-4 may name upperName: the parser takes the names of
// UCS-4 and of UTF-16 that say no byte order, and reads on in the order found.
bool NamesAnyUcs4(const std::string& upperName) {
    const std::u16string name(upperName.begin(), upperName.end());
    const XMLCh* const names[] = {
        XMLUni::fgUCS4EncodingString,   XMLUni::fgUCS4EncodingString2,  XMLUni::fgUCS4EncodingString3,
        XMLUni::fgUCS4EncodingString4,  XMLUni::fgUCS4EncodingString5,  XMLUni::fgUTF16EncodingString,
        XMLUni::fgUTF16EncodingString2, XMLUni::fgUTF16EncodingString3, XMLUni::fgUTF16EncodingString4,
        XMLUni::fgUTF16EncodingString5, XMLUni::fgUTF16EncodingString6, XMLUni::fgUTF16EncodingString7};
    return std::any_of(std::begin(names), std::end(names), [&](const XMLCh* n) { return name == n; });
}

// Whether the encoding called name decodes raw, one byte a character, as the ASCII text.
bool DecodesAs(const std::string& name, const std::string& raw, const std::string& text) {
    XMLTransService::Codes code = XMLTransService::Ok;
    std::unique_ptr<XMLTranscoder> transcoder(
        XMLPlatformUtils::fgTransService->makeNewTranscoderFor(name.c_str(), code, kUnits));
    if (!transcoder || raw.size() != text.size()) return false;
    std::vector<XMLCh> units(raw.size() + 1);
    std::vector<unsigned char> sizes(raw.size() + 1);
    XMLSize_t eaten = 0;
    try {
        const XMLSize_t made = transcoder->transcodeFrom(reinterpret_cast<const XMLByte*>(raw.data()), raw.size(),
                                                         units.data(), units.size(), eaten, sizes.data());
        return made == text.size() && eaten == raw.size() && std::equal(text.begin(), text.end(), units.begin());
    } catch (const XMLException&) {
        return false;
    }
}

std::string MessageOf(const XMLException& e) {
    CXMLTranscoder local(e.getMessage());
    return local.localForm() ? local.localForm() : "";
}

}  // namespace

CXMLToUTF8::CXMLToUTF8(Source source) : m_source(std::move(source)), m_raw(kRawBytes) {}

CXMLToUTF8::~CXMLToUTF8() = default;

bool CXMLToUTF8::More() {
    if (m_bEnd) return false;
    if (m_rawPos > 0) {
        std::memmove(m_raw.data(), m_raw.data() + m_rawPos, m_rawEnd - m_rawPos);
        m_rawEnd -= m_rawPos;
        m_rawPos = 0;
    }
    if (m_rawEnd == m_raw.size()) return false;
    const std::size_t got = m_source(m_raw.data() + m_rawEnd, m_raw.size() - m_rawEnd);
    m_rawEnd += got;
    m_bEnd = got == 0;
    return got > 0;
}

void CXMLToUTF8::Start() {
    m_mode = Mode::Pass;
    while (m_rawEnd < 24 && More()) {
    }
    const XMLRecognizer::Encodings probe =
        XMLRecognizer::basicEncodingProbe(reinterpret_cast<const XMLByte*>(m_raw.data()), m_rawEnd);
    // Bytes of one code unit; 0 for EBCDIC, whose declaration is read one byte a character.
    std::size_t width = 1;
    m_bUtf8 = probe == XMLRecognizer::UTF_8 || probe == XMLRecognizer::US_ASCII;
    if (probe == XMLRecognizer::UTF_16L || probe == XMLRecognizer::UTF_16B)
        width = 2;
    else if (probe == XMLRecognizer::UCS_4L || probe == XMLRecognizer::UCS_4B)
        width = 4;
    else if (probe == XMLRecognizer::EBCDIC)
        width = 0;
    else if (!m_bUtf8 || std::memcmp(m_raw.data(), "<?xml", std::min<std::size_t>(m_rawEnd, 5)) != 0)
        return;  // a byte order mark says UTF-8, and without a declaration nothing else is named
    const bool bigEndian = probe == XMLRecognizer::UTF_16B || probe == XMLRecognizer::UCS_4B;
    std::size_t skip = 0;
    if (width == 2 && m_rawEnd >= 2 && std::memcmp(m_raw.data(), bigEndian ? "\xFE\xFF" : "\xFF\xFE", 2) == 0) skip = 2;
    if (width == 4 && m_rawEnd >= 4 && std::memcmp(m_raw.data(), bigEndian ? "\0\0\xFE\xFF" : "\xFF\xFE\0\0", 4) == 0)
        skip = 4;

    std::string head;
    for (;;) {
        head = width == 0 ? EbcdicHeadText(m_raw.data(), m_rawEnd)
                          : HeadText(m_raw.data() + skip, m_rawEnd - skip, width, bigEndian);
        if (head.find("?>") != std::string::npos || head.size() >= kMaxDeclarationChars || !More()) break;
    }
    std::string name;
    std::size_t at = 0;
    std::size_t end = 0;
    if (StartsDeclaration(head) && !DeclaredEncoding(head, name, at, end)) return;
    const std::string upper = Upper(name);
    const XMLRecognizer::Encodings family = name.empty() ? probe : FamilyOf(upper);

    XMLTransService::Codes code = XMLTransService::Ok;
    if (width == 2) {
        // Only UTF-16 in the byte order found; any other name is the parser's to judge.
        if (family != probe && upper != "UTF-16" && upper != "UTF16" && upper != "UTF_16") return;
        m_transcoder.reset(XMLPlatformUtils::fgTransService->makeNewTranscoderFor(probe, code, kUnits));
        m_encoding = bigEndian ? "UTF-16BE" : "UTF-16LE";
    } else if (width == 4) {
        // UCS-4 in the byte order found, or a name without one; any other is the parser's to judge.
        if (family != probe && !NamesAnyUcs4(upper)) return;
        m_transcoder.reset(XMLPlatformUtils::fgTransService->makeNewTranscoderFor(probe, code, kUnits));
        m_encoding = bigEndian ? "UTF-32BE" : "UTF-32LE";
    } else if (width == 0) {
        // The declaration as the encoding it names reads it; one that reads it otherwise
        // contradicts itself, and one without a name is refused: both are the parser's to judge.
        const std::size_t close = head.find("?>");
        if (name.empty() || close == std::string::npos ||
            !DecodesAs(name, std::string(m_raw.data(), close + 2), head.substr(0, close + 2)))
            return;
        m_transcoder.reset(XMLPlatformUtils::fgTransService->makeNewTranscoderFor(name.c_str(), code, kUnits));
        m_encoding = name;
    } else {
        // Already UTF-8, or a wide encoding named in ASCII bytes: as the parser reads it.
        if (name.empty() || (family != XMLRecognizer::US_ASCII && family != XMLRecognizer::OtherEncoding)) {
            m_bUtf8 = name.empty() || family == XMLRecognizer::UTF_8;
            return;
        }
        // A name whose encoding does not read its own declaration as it is (a wide one the
        // parser does not class as such) is the parser's to judge too.
        const std::string declaration = head.substr(0, head.find("?>") + 2);
        if (!DecodesAs(name, declaration, declaration)) return;
        m_transcoder.reset(XMLPlatformUtils::fgTransService->makeNewTranscoderFor(name.c_str(), code, kUnits));
        m_encoding = name;
    }
    if (!m_transcoder) return;
    m_bUtf8 = false;
    m_mode = Mode::Transcode;
    m_rawPos = skip;
    m_units.resize(kUnits);
    m_sizes.resize(kUnits);
    if (!name.empty()) {
        m_valueAt = at;
        m_valueEnd = end;
    }
}

bool CXMLToUTF8::Decode() {
    for (;;) {
        const std::size_t have = m_rawEnd - m_rawPos;
        const XMLByte* data = reinterpret_cast<const XMLByte*>(m_raw.data() + m_rawPos);
        XMLSize_t eaten = 0;
        XMLSize_t made = 0;
        if (have > 0 && m_careful == 0) {
            try {
                made = m_transcoder->transcodeFrom(data, have, m_units.data(), kUnits, eaten, m_sizes.data());
            } catch (const XMLException&) {
                // Somewhere in this block: found by going on one character at a time.
                m_careful = have;
            }
        }
        if (have > 0 && m_careful > 0) {
            const std::size_t most = std::min(have, kMaxCharBytes);
            for (std::size_t take = 1; take <= most && eaten == 0; ++take) {
                try {
                    made = m_transcoder->transcodeFrom(data, take, m_units.data(), kUnits, eaten, m_sizes.data());
                } catch (const XMLException& e) {
                    Fail(MessageOf(e));
                    return false;
                }
            }
            if (eaten == 0 && most == kMaxCharBytes) {
                Fail("bytes that are not " + m_encoding);
                return false;
            }
            m_careful -= std::min<std::size_t>(m_careful, eaten);
        }
        if (eaten > 0 || made > 0) {
            m_rawPos += eaten;
            for (XMLSize_t i = 0; i < made; ++i) {
                const char16_t unit = m_units[i];
                const bool leading = unit >= 0xD800 && unit <= 0xDBFF;
                const bool trailing = unit >= 0xDC00 && unit <= 0xDFFF;
                if ((m_high != 0) != trailing) {
                    Fail("a UTF-16 surrogate without its pair");
                    return false;
                }
                if (unit == 0) {
                    Fail(kNul);
                    return false;
                }
                if (leading) {
                    m_high = unit;
                } else if (trailing) {
                    Append(0x10000 + ((static_cast<char32_t>(m_high) - 0xD800) << 10) + (unit - 0xDC00));
                    m_high = 0;
                } else {
                    Append(unit);
                }
            }
            return true;
        }
        // Nothing decodable here: a character continues past what has been read, or all is read.
        if (m_bEnd || (!More() && m_bEnd)) {
            if (m_rawEnd > m_rawPos || m_high != 0) Fail("the document ends inside a character");
            return false;
        }
        if (m_rawEnd == m_raw.size() && m_rawPos == 0 && have == m_rawEnd) {
            Fail("bytes that are not " + m_encoding);
            return false;
        }
    }
}

void CXMLToUTF8::Append(char32_t code) {
    if (code < 0x80) {
        m_out += static_cast<char>(code);
    } else if (code < 0x800) {
        m_out += static_cast<char>(0xC0 | (code >> 6));
        m_out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        m_out += static_cast<char>(0xE0 | (code >> 12));
        m_out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        m_out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        m_out += static_cast<char>(0xF0 | (code >> 18));
        m_out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        m_out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        m_out += static_cast<char>(0x80 | (code & 0x3F));
    }
    // A CR, an LF and a CR LF each end a line, as the parser counts them.
    if (code == '\n' && m_bCarriageReturn) {
        m_bCarriageReturn = false;
    } else if (code == '\n' || code == '\r') {
        ++m_line;
        m_column = 1;
        m_bCarriageReturn = code == '\r';
    } else {
        ++m_column;
        m_bCarriageReturn = false;
    }
}

std::size_t CXMLToUTF8::Pass(const char* data, std::size_t size) {
    if (!m_bUtf8 || size == 0) return size;
    const char* const nul = static_cast<const char*>(std::memchr(data, '\0', size));
    const char* const end = nul ? nul : data + size;
    // A CR, an LF and a CR LF each end a line, as the parser counts them.
    const char* lineStart = nullptr;
    for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr; ++p) {
        if (!(p > data ? p[-1] == '\r' : m_bCarriageReturn)) ++m_line;
        lineStart = p + 1;
    }
    for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, '\r', end - p))) != nullptr; ++p) {
        ++m_line;
        lineStart = std::max(lineStart, p + 1);
    }
    if (lineStart) m_column = 1;
    for (const char* p = lineStart ? lineStart : data; p < end; ++p)
        if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) ++m_column;
    if (end > data) m_bCarriageReturn = end[-1] == '\r';
    if (!nul) return size;
    Fail(kNul);
    m_mode = Mode::Done;
    return static_cast<std::size_t>(nul - data);
}

void CXMLToUTF8::Fail(const std::string& what) {
    m_fault.line = m_line;
    m_fault.message = "line " + std::to_string(m_line) + ", column " + std::to_string(m_column) + ": " + what;
}

std::size_t CXMLToUTF8::Read(char* buffer, std::size_t size) {
    if (m_mode == Mode::Head) Start();
    std::size_t written = 0;
    while (written < size) {
        if (DrainPending(m_out, m_outPos, buffer, size, written)) continue;
        if (m_mode == Mode::Pass) {
            if (m_rawPos < m_rawEnd) {
                const std::size_t n = std::min(size - written, m_rawEnd - m_rawPos);
                std::memcpy(buffer + written, m_raw.data() + m_rawPos, n);
                written += Pass(buffer + written, n);
                m_rawPos += n;
                if (m_mode == Mode::Done) break;
                continue;
            }
            if (written > 0 || m_bEnd) break;
            return Pass(buffer, m_source(buffer, size));
        }
        // What is ready goes now: a source fed while a body arrives may wait for more.
        if (m_mode != Mode::Transcode || written > 0) break;
        m_out.clear();
        m_outPos = 0;
        bool more = Decode();
        // The declaration is handed on whole, its encoding now UTF-8.
        while (more && m_valueEnd > m_out.size()) more = Decode();
        if (m_valueEnd > 0 && m_valueEnd <= m_out.size()) m_out.replace(m_valueAt, m_valueEnd - m_valueAt, "UTF-8");
        m_valueEnd = 0;
        if (!more) m_mode = Mode::Done;
    }
    return written;
}
