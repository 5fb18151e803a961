#include "xml/CXMLTokenFilter.h"

#include <algorithm>
#include <cstring>

#include <openssl/evp.h>
#include <xercesc/util/XMLChar.hpp>

#include "xml/PendingBytes.h"

using XERCES_CPP_NAMESPACE::XMLChar1_0;

enum class CXMLTokenFilter::State {
    Sniff,
    Text,
    Lt,
    Bang,
    Comment,
    CData,
    PiTarget,
    PiData,
    Doctype,
    StartName,
    InTag,
    TagSlash,
    AttrName,
    AttrEq,
    AttrValue,
    AfterValue,
    EndName,
    EndTail,
    Off
};

struct CXMLTokenFilter::Name {
    std::string raw;  // the first maxNameBytes bytes
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> hash{nullptr, EVP_MD_CTX_free};
    Utf8 character;
    bool bFirst = true;
    // Whether a name has begun since the last Reset.
    bool bStarted = false;

    // What the parser gets of a name given up: raw, or once the name is longer, the whole
    // characters of raw, and with bCharacter the character being read (which raw may have begun).
    std::string GivenUp(bool bCharacter) const;

    // Ready for the next name, keeping the buffers: a tag costs no allocation.
    void Reset() {
        raw.clear();
        hash.reset();
        character.need = 0;
        bFirst = true;
        bStarted = false;
    }
};

namespace {

constexpr std::size_t kInputBytes = 64 * 1024;
// Characters of a long name kept in what the handler is told.
constexpr std::size_t kShownNameUnits = 32;
constexpr std::size_t kMaxReferenceBytes = 64;
constexpr std::size_t kMaxDeclarationBytes = 1024;
// Tags up to this long are taken whole when they are plain ASCII.
constexpr std::size_t kQuickTagBytes = 4096;

bool IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Bytes a quick tag's scan passes over without a look: ASCII but '<', '>' and quotes.
// Bytes of a plain attribute value: printable ASCII but '<', '&', quotes and DEL, or a tab.
struct ByteClasses {
    bool tagPasses[256] = {};
    bool plainValue[256] = {};
    constexpr ByteClasses() {
        for (int c = 0; c < 0x80; ++c) {
            tagPasses[c] = c != '<' && c != '>' && c != '"' && c != '\'';
            plainValue[c] = (c >= 0x20 && c < 0x7F && c != '<' && c != '&' && c != '"' && c != '\'') || c == '\t';
        }
    }
};
constexpr ByteClasses kBytes;

// ASCII bytes that may continue a name; every other ASCII byte ends one. Bytes of other
// characters are judged once decoded.
bool IsAsciiNameByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':' ||
           c == '-' || c == '.';
}

bool MayStartName(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsXmlChar(char32_t code) {
    return code < 0x10000 ? XMLChar1_0::isXMLChar(static_cast<XMLCh>(code)) : code <= 0x10FFFF;
}

bool IsNameChar(char32_t code, bool first) {
    if (code < 0x10000) {
        const XMLCh unit = static_cast<XMLCh>(code);
        return first ? XMLChar1_0::isFirstNameChar(unit) : XMLChar1_0::isNameChar(unit);
    }
    const XMLCh high = static_cast<XMLCh>(0xD800 + ((code - 0x10000) >> 10));
    const XMLCh low = static_cast<XMLCh>(0xDC00 + ((code - 0x10000) & 0x3FF));
    return first ? XMLChar1_0::isFirstNameChar(high, low) : XMLChar1_0::isNameChar(high, low);
}

void AppendUtf16(std::u16string& text, char32_t code) {
    if (code < 0x10000) {
        text += static_cast<char16_t>(code);
    } else {
        text += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
        text += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    }
}

// The whole characters of checked UTF-8 text, as UTF-16 of at most units code units.
std::u16string Utf16(const std::string& text, std::size_t units) {
    std::u16string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (at + length > text.size()) break;
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t i = 1; i < length; ++i) code = (code << 6) | (text[at + i] & 0x3F);
        if (out.size() + (code < 0x10000 ? 1 : 2) > units) break;
        AppendUtf16(out, code);
        at += length;
    }
    return out;
}

bool StartsWithNoCase(const std::string& text, std::size_t at, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    if (text.size() - std::min(at, text.size()) < length) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(text[at + i])) != prefix[i]) return false;
    return true;
}

// Whether the XML declaration in head (complete, after any byte order mark) leaves the document
// in UTF-8: no encoding named, or UTF-8 named.
bool DeclaresUtf8(const std::string& head) {
    const std::size_t at = head.find("encoding");
    if (at == std::string::npos) return true;
    std::size_t pos = at + 8;
    while (pos < head.size() && (IsSpace(head[pos]) || head[pos] == '=')) ++pos;
    if (pos >= head.size() || (head[pos] != '"' && head[pos] != '\'')) return false;
    const std::size_t end = head.find(head[pos], pos + 1);
    if (end == std::string::npos) return false;
    const std::size_t length = end - pos - 1;
    return (length == 5 && StartsWithNoCase(head, pos + 1, "utf-8")) ||
           (length == 4 && StartsWithNoCase(head, pos + 1, "utf8"));
}

// A character reference in an attribute value: "&#N;" or "&#xH;" naming a character XML allows.
bool IsGoodCharacterReference(const std::string& reference) {
    const bool hex = reference.size() > 3 && reference[2] == 'x';
    const std::size_t first = hex ? 3 : 2;
    if (reference.size() <= first + 1) return false;
    char32_t code = 0;
    for (std::size_t i = first; i + 1 < reference.size(); ++i) {
        const char c = reference[i];
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0) return false;
        code = code * (hex ? 16 : 10) + static_cast<char32_t>(digit);
        if (code > 0x10FFFF) return false;
    }
    return IsXmlChar(code);
}

}  // namespace

int CXMLTokenFilter::Utf8::Push(unsigned char c) {
    if (need == 0) {
        raw.assign(1, static_cast<char>(c));
        if (c < 0x80) {
            code = c;
            return 1;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1, code = c & 0x1F, least = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2, code = c & 0x0F, least = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3, code = c & 0x07, least = 0x10000;
        } else {
            return -1;
        }
        return 0;
    }
    raw += static_cast<char>(c);
    if ((c & 0xC0) != 0x80) {
        need = 0;
        return -1;
    }
    code = (code << 6) | (c & 0x3F);
    if (--need > 0) return 0;
    return code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ? -1 : 1;
}

CXMLTokenFilter::CXMLTokenFilter(Source source, unsigned int maxDepth)
    : CXMLTokenFilter(std::move(source), maxDepth, Limits()) {}

CXMLTokenFilter::CXMLTokenFilter(Source source, unsigned int maxDepth, const Limits& limits)
    : m_source(std::move(source)),
      m_maxDepth(maxDepth),
      m_limits(limits),
      m_input(kInputBytes),
      m_state(State::Sniff),
      m_name(std::make_unique<Name>()) {}

CXMLTokenFilter::~CXMLTokenFilter() = default;

bool CXMLTokenFilter::TakeName(std::u16string& name) {
    if (m_names.empty()) return false;
    name = std::move(m_names.front());
    m_names.pop_front();
    return true;
}

std::size_t CXMLTokenFilter::Read(char* buffer, std::size_t size) {
    std::size_t written = 0;
    while (written < size) {
        if (DrainPending(m_out, m_outPos, buffer, size, written)) continue;
        m_out.clear();
        m_outPos = 0;
        if (m_dueLines > 0) {
            const std::size_t n = std::min(m_dueLines, m_limits.maxTokenBytes);
            m_out.assign(n, m_dueBreak);
            m_dueLines -= n;
            if (m_dueLines == 0) {
                m_out += m_after;
                m_after.clear();
            }
            continue;
        }
        if (m_inputPos == m_inputSize) {
            // What is ready goes now: a source fed while a body arrives may wait for more.
            if (m_bEnd || written > 0) break;
            m_inputPos = 0;
            m_inputSize = m_source(m_input.data(), m_input.size());
            KeepTail();
            if (m_inputSize == 0) {
                m_bEnd = true;
                Finish();
            }
            continue;
        }
        while (m_inputPos < m_inputSize && m_out.size() < m_limits.maxTokenBytes && m_dueLines == 0) {
            if (m_state == State::Text || m_state == State::Off) {
                // Text and what is passed on unchanged go in runs, up to the next markup.
                const char* from = m_input.data() + m_inputPos;
                const std::size_t left = m_inputSize - m_inputPos;
                const void* lt = m_state == State::Text ? std::memchr(from, '<', left) : nullptr;
                const std::size_t run = lt ? static_cast<std::size_t>(static_cast<const char*>(lt) - from) : left;
                m_out.append(from, run);
                m_inputPos += run;
                if (run == left) break;
            }
            if ((m_state == State::Lt && Tag()) || Run()) continue;
            Step(static_cast<unsigned char>(m_input[m_inputPos++]));
        }
    }
    return written;
}

bool CXMLTokenFilter::Tag() {
    // A short ASCII tag whose end is in the buffer: only its name needs a look, the parser checks
    // the rest as it is, unless this filter checked its attributes. Any other tag goes byte by byte.
    if (!m_bMapNames) return false;
    const unsigned char* from = reinterpret_cast<const unsigned char*>(m_input.data() + m_inputPos);
    const std::size_t limit = std::min(m_inputSize - m_inputPos, kQuickTagBytes);
    const bool bEnd = limit > 0 && from[0] == '/';
    const std::size_t start = bEnd ? 1 : 0;
    if (limit <= start || from[start] >= 0x80 || !MayStartName(from[start])) return false;
    std::size_t nameEnd = start + 1;
    while (nameEnd < limit && IsAsciiNameByte(from[nameEnd])) ++nameEnd;
    if (nameEnd - start > m_limits.maxNameBytes) return false;
    std::size_t end = std::string::npos;
    if (!bEnd && nameEnd < m_limits.maxCheckedTagBytes) {
        end = PlainAttributes(from + nameEnd, std::min(limit, m_limits.maxCheckedTagBytes) - nameEnd);
        if (end != std::string::npos) end += nameEnd;
    }
    const bool bChecked = end != std::string::npos;
    if (!bChecked) {
        unsigned char quote = 0;
        for (end = nameEnd; end < limit; ++end) {
            while (end < limit && kBytes.tagPasses[from[end]]) ++end;
            if (end == limit) break;
            const unsigned char c = from[end];
            if (c >= 0x80 || c == '<') return false;
            if (quote != 0) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
        }
        if (end == limit) return false;
    }
    Name& name = *m_name;
    name.Reset();
    name.raw.assign(reinterpret_cast<const char*>(from) + start, nameEnd - start);
    name.bStarted = true;
    name.bFirst = false;
    if (bEnd) {
        Emit('/');
        EndTagName();
    } else {
        EndElementName();
    }
    if (m_state == State::Off) {
        m_inputPos += nameEnd;
        return true;
    }
    const bool bEmpty = !bEnd && from[end - 1] == '/' && end - 1 >= nameEnd;
    std::string& out = m_dueLines > 0 ? m_after : m_out;
    if (bChecked) {
        // An error later on the line keeps its column; a line break after the tag ends the need.
        const std::size_t attributes = end - nameEnd - (bEmpty ? 1 : 0);
        std::size_t after = end + 1;
        const std::size_t available = m_inputSize - m_inputPos;
        while (after < available && (from[after] == ' ' || from[after] == '\t')) ++after;
        if (after == available || (from[after] != '\n' && from[after] != '\r')) out.append(attributes, ' ');
        out.append(bEmpty ? "/>" : ">");
    } else {
        out.append(reinterpret_cast<const char*>(from) + nameEnd, end + 1 - nameEnd);
    }
    // "/>" outside quotes closes the element; anything else wrong there the parser reports.
    if (bEmpty && !m_open.empty()) m_open.pop_back();
    m_state = State::Text;
    m_inputPos += end + 1;
    return true;
}

std::size_t CXMLTokenFilter::PlainAttributes(const unsigned char* text, std::size_t length) const {
    // Where each name starts and ends, to find one given twice.
    constexpr std::size_t kMaxAttributes = 32;
    struct Seen {
        std::size_t start;
        std::size_t length;
        // Names that differ mostly differ here: few are compared whole.
        unsigned int sum;
    } names[kMaxAttributes];
    std::size_t count = 0;
    std::size_t at = 0;
    for (;;) {
        const std::size_t spaceStart = at;
        while (at < length && (text[at] == ' ' || text[at] == '\t')) ++at;
        if (at == length) return std::string::npos;
        if (text[at] == '>') return at;
        if (text[at] == '/') return at + 1 < length && text[at + 1] == '>' ? at + 1 : std::string::npos;
        // White space comes between attributes, and the name starts as names do.
        if (at == spaceStart || count == kMaxAttributes || !MayStartName(text[at]) || text[at] >= 0x80)
            return std::string::npos;
        if (at + 3 <= length && (text[at] | 0x20) == 'x' && (text[at + 1] | 0x20) == 'm' &&
            (text[at + 2] | 0x20) == 'l')
            return std::string::npos;
        const std::size_t nameStart = at;
        unsigned int sum = 0;
        for (; at < length && IsAsciiNameByte(text[at]); ++at) sum = sum * 31 + text[at];
        const std::size_t nameLength = at - nameStart;
        for (std::size_t i = 0; i < count; ++i)
            if (names[i].sum == sum && names[i].length == nameLength &&
                std::memcmp(text + names[i].start, text + nameStart, nameLength) == 0)
                return std::string::npos;
        names[count++] = {nameStart, nameLength, sum};
        while (at < length && (text[at] == ' ' || text[at] == '\t')) ++at;
        if (at == length || text[at] != '=') return std::string::npos;
        ++at;
        while (at < length && (text[at] == ' ' || text[at] == '\t')) ++at;
        if (at == length || (text[at] != '"' && text[at] != '\'')) return std::string::npos;
        const unsigned char quote = text[at++];
        for (;; ++at) {
            while (at < length && kBytes.plainValue[text[at]]) ++at;
            if (at == length) return std::string::npos;
            const unsigned char c = text[at];
            if (c == quote) break;
            // Line breaks are left to the parser, which normalises them; so is DEL, which not
            // every version of XML allows as it is.
            if (c != '&' && c != '"' && c != '\'') return std::string::npos;
            if (c != '&') continue;
            const void* semicolon = std::memchr(text + at, ';', std::min(length - at, kMaxReferenceBytes));
            if (!semicolon) return std::string::npos;
            const std::size_t end = static_cast<std::size_t>(static_cast<const unsigned char*>(semicolon) - text);
            const std::string reference(reinterpret_cast<const char*>(text) + at, end + 1 - at);
            static const char* const predefined[] = {"&lt;", "&gt;", "&amp;", "&quot;", "&apos;"};
            bool bGood = reference.size() > 2 && reference[1] == '#' && IsGoodCharacterReference(reference);
            for (const char* name : predefined) bGood = bGood || reference == name;
            if (!bGood) return std::string::npos;
            at = end;
        }
        ++at;
    }
}

bool CXMLTokenFilter::Run() {
    // The common bytes of names and of attribute values short enough to keep, taken as runs:
    // ASCII name characters after a name's first, and value bytes that need no look.
    const char* from = m_input.data() + m_inputPos;
    const std::size_t left = m_inputSize - m_inputPos;
    std::size_t run = 0;
    if ((m_state == State::StartName || m_state == State::AttrName ||
         (m_state == State::EndName && m_name->bStarted)) &&
        m_bMapNames && m_name->character.need == 0 && !m_name->bFirst) {
        Name& name = *m_name;
        const std::size_t room = m_limits.maxNameBytes - std::min(m_limits.maxNameBytes, name.raw.size());
        while (run < left && run < room && IsAsciiNameByte(static_cast<unsigned char>(from[run]))) ++run;
        name.raw.append(from, run);
    } else if (m_state == State::AttrValue && !m_bDropping && !m_bInReference && m_char.need == 0) {
        const std::size_t room = m_limits.maxValueBytes - std::min(m_limits.maxValueBytes, m_length);
        while (run < left && run < room) {
            const unsigned char c = static_cast<unsigned char>(from[run]);
            if (c == '&' || c == '<' || c == static_cast<unsigned char>(m_quote) || c >= 0x80) break;
            ++run;
        }
        (m_dueLines > 0 ? m_after : m_out).append(from, run);
        m_length += run;
        if (run > 0) m_bCarriageReturn = from[run - 1] == '\r';
    }
    m_inputPos += run;
    return run > 0;
}

void CXMLTokenFilter::Emit(const std::string& text) {
    if (m_dueLines > 0)
        m_after += text;
    else
        m_out += text;
}

void CXMLTokenFilter::Emit(char c) {
    if (m_dueLines > 0)
        m_after += c;
    else
        m_out += c;
}

void CXMLTokenFilter::Fail(const std::string& raw) {
    // Here the held line breaks follow the kept part of a value directly, which may end in a CR
    // that an LF would join; raw never starts with an LF, so CRs stay apart on both sides.
    m_dueBreak = '\r';
    m_dueLines = m_valueLines;
    m_valueLines = 0;
    Emit(raw);
    m_state = State::Off;
}

void CXMLTokenFilter::CDataByte(unsigned char c) {
    if (Split(c)) Emit("]]><![CDATA[");
    Emit(static_cast<char>(c));
    ++m_length;
}

bool CXMLTokenFilter::Split(unsigned char c) {
    // Never inside a character, nor inside a CR LF pair: cut there, it would count as two line
    // breaks, and in a CDATA section read as two.
    if (m_length < m_limits.maxTokenBytes || (c & 0xC0) == 0x80 || c == '\n') return false;
    m_length = 0;
    return true;
}

void CXMLTokenFilter::Step(unsigned char c) {
    switch (m_state) {
    case State::Sniff:
        return Sniff(c);
    case State::Text:
        Emit(static_cast<char>(c));
        if (c == '<') m_state = State::Lt;
        return;
    case State::Lt:
        if (c == '/') {
            Emit('/');
            m_name->Reset();
            m_state = State::EndName;
        } else if (c == '!') {
            Emit('!');
            m_token.clear();
            m_state = State::Bang;
        } else if (c == '?') {
            Emit('?');
            m_target.clear();
            m_state = State::PiTarget;
        } else if (MayStartName(c)) {
            StartName(c, State::StartName);
        } else {
            Fail(std::string(1, static_cast<char>(c)));
        }
        return;
    case State::Bang: {
        m_token += static_cast<char>(c);
        static const struct {
            const char* text;
            State state;
        } kinds[] = {{"--", State::Comment}, {"[CDATA[", State::CData}, {"DOCTYPE", State::Doctype}};
        for (const auto& kind : kinds) {
            if (m_token == kind.text) {
                Emit(m_token);
                m_token.clear();
                m_length = 0;
                m_marks = 0;
                m_quote = 0;
                m_state = kind.state;
                m_bDoctype = m_bDoctype || kind.state == State::Doctype;
                return;
            }
            if (std::strncmp(kind.text, m_token.c_str(), m_token.size()) == 0) return;
        }
        return Fail(m_token);
    }
    case State::Comment:
        // A split needs no '-' before it: "--" may not come before "-->".
        if (m_marks == 2) {
            Emit(static_cast<char>(c));
            m_state = c == '>' ? State::Text : State::Off;
            return;
        }
        if (m_marks == 0 && Split(c)) Emit("--><!--");
        Emit(static_cast<char>(c));
        ++m_length;
        m_marks = c == '-' ? m_marks + 1 : 0;
        return;
    case State::CData:
        // The section ends at the first "]]>", so the last two ']' of a run are held back and a
        // cut never comes between them and a '>' after; an end inserted after "]" or "]]" leaves
        // them text.
        if (c == ']' && m_marks < 2) {
            ++m_marks;
            return;
        }
        if (c == '>' && m_marks == 2) {
            Emit("]]>");
            m_state = State::Text;
            return;
        }
        if (c != ']') {
            for (; m_marks > 0; --m_marks) CDataByte(']');
        }
        return CDataByte(c);
    case State::PiTarget:
        Emit(static_cast<char>(c));
        if (c == '?' || IsSpace(c)) {
            if (m_target.empty()) return Fail("");
            // The declaration is never cut; it cannot be long but for its spaces.
            if (m_target.size() == 3 && StartsWithNoCase(m_target, 0, "xml")) m_target.clear();
            m_marks = c == '?';
            m_length = 0;
            m_state = State::PiData;
        } else if (m_target.size() < m_limits.maxNameBytes) {
            m_target += static_cast<char>(c);
        } else {
            m_state = State::Off;
        }
        return;
    case State::PiData:
        if (m_marks == 1 && c == '>') {
            Emit('>');
            m_state = State::Text;
            return;
        }
        if (!m_target.empty() && Split(c)) Emit("?><?" + m_target + " ");
        Emit(static_cast<char>(c));
        ++m_length;
        m_marks = c == '?';
        return;
    case State::Doctype:
        return DoctypeByte(c);
    case State::StartName:
        if (NameByte(c)) return;
        EndElementName();
        return m_state == State::Off ? Emit(static_cast<char>(c)) : Step(c);
    case State::EndName:
        if (!m_name->bStarted) {
            if (!MayStartName(c)) return Fail(std::string(1, static_cast<char>(c)));
            return StartName(c, State::EndName);
        }
        if (NameByte(c)) return;
        EndTagName();
        return m_state == State::Off ? Emit(static_cast<char>(c)) : Step(c);
    case State::EndTail:
        Emit(static_cast<char>(c));
        if (c == '>')
            m_state = State::Text;
        else if (!IsSpace(c))
            m_state = State::Off;
        return;
    case State::InTag:
        if (MayStartName(c)) return StartName(c, State::AttrName);
        Emit(static_cast<char>(c));
        if (c == '>')
            m_state = State::Text;
        else if (c == '/')
            m_state = State::TagSlash;
        else if (!IsSpace(c))
            m_state = State::Off;
        return;
    case State::TagSlash:
        Emit(static_cast<char>(c));
        if (c != '>') {
            m_state = State::Off;
            return;
        }
        if (m_bMapNames && !m_open.empty()) m_open.pop_back();
        m_state = State::Text;
        return;
    case State::AttrName:
        if (NameByte(c)) return;
        EndAttributeName();
        return m_state == State::Off ? Emit(static_cast<char>(c)) : Step(c);
    case State::AttrEq:
        Emit(static_cast<char>(c));
        if (c == '=' && m_quote == 0) {
            m_quote = '=';
        } else if ((c == '"' || c == '\'') && m_quote == '=') {
            m_quote = static_cast<char>(c);
            m_length = 0;
            m_bDropping = false;
            m_bInReference = false;
            m_valueLines = 0;
            m_bCarriageReturn = false;
            m_char = Utf8();
            m_token.clear();
            m_state = State::AttrValue;
        } else if (!IsSpace(c)) {
            m_state = State::Off;
        }
        return;
    case State::AttrValue:
        return ValueByte(c);
    case State::AfterValue:
        // The line breaks of the part left out go after the value, where white space is free;
        // when no white space may follow, they stay inside it so an error is placed right. As
        // many as the value keeps go inside before its quote, as CRs no CR before them joins: the
        // parser reports a repeated attribute name where the value ends.
        if (IsSpace(c) || c == '>' || c == '/') {
            if (m_valueLines <= m_limits.maxValueBytes) {
                Emit(std::string(m_valueLines, '\r'));
                m_valueLines = 0;
            }
            Emit(m_quote);
            m_dueBreak = '\n';
            m_dueLines = m_valueLines;
            m_valueLines = 0;
            m_state = State::InTag;
            return Step(c);
        }
        Fail(std::string(1, m_quote) + static_cast<char>(c));
        return;
    case State::Off:
        Emit(static_cast<char>(c));
        return;
    }
}

void CXMLTokenFilter::Sniff(unsigned char c) {
    m_head += static_cast<char>(c);
    const std::size_t bom = m_head.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (m_head.size() < 3 && std::string("\xEF\xBB\xBF").compare(0, m_head.size(), m_head) == 0) return;
    if (m_head.size() == bom) return;
    const unsigned char first = static_cast<unsigned char>(m_head[bom]);
    bool bUtf8 = IsSpace(first);
    bool bDeclaration = false;
    if (first == '<') {
        const std::size_t have = m_head.size() - bom;
        if (have < 5 && std::string("<?xml").compare(0, have, m_head, bom, have) == 0) return;
        bDeclaration = m_head.compare(bom, 5, "<?xml") == 0;
        if (bDeclaration) {
            const bool ended = m_head.size() >= bom + 7 && m_head.compare(m_head.size() - 2, 2, "?>") == 0;
            if (!ended && m_head.size() < kMaxDeclarationBytes) return;
            bUtf8 = ended && DeclaresUtf8(m_head.substr(bom));
        } else {
            bUtf8 = m_head.size() > bom + 1 && m_head[bom + 1] != '\0';
        }
    }
    std::string head;
    head.swap(m_head);
    if (!bUtf8) {
        m_state = State::Off;
        return Emit(head);
    }
    m_state = State::Text;
    m_bUtf8 = true;
    if (bDeclaration) return Emit(head);
    Emit(head.substr(0, bom));
    for (std::size_t i = bom; i < head.size(); ++i) Step(static_cast<unsigned char>(head[i]));
}

void CXMLTokenFilter::DoctypeByte(unsigned char c) {
    // Passed on as it is; only its end is looked for: quotes, comments and instructions of the
    // internal subset may hold '>' and ']'.
    Emit(static_cast<char>(c));
    const std::string before = m_token;
    m_token += static_cast<char>(c);
    if (m_token.size() > 3) m_token.erase(0, 1);
    switch (m_marks) {
    case 0:
        if (c == '"' || c == '\'') {
            m_quote = static_cast<char>(c);
            m_marks = 1;
        } else if (m_bSubset && m_token.size() == 3 && m_token == "<!-") {
            m_marks = 4;
        } else if (m_bSubset && before.size() >= 1 && before.back() == '<' && c == '?') {
            m_marks = 3;
        } else if (c == '[' && !m_bSubset) {
            m_bSubset = true;
            m_bMapNames = false;
        } else if (c == ']' && m_bSubset) {
            m_bSubset = false;
        } else if (c == '>' && !m_bSubset) {
            m_state = State::Text;
        }
        return;
    case 1:
        if (c == static_cast<unsigned char>(m_quote)) m_marks = 0;
        return;
    case 4:
        // "<!-" seen: a comment when '-' follows.
        m_marks = c == '-' ? 2 : 0;
        m_token.clear();
        return;
    case 2:
        if (m_token == "-->") m_marks = 0, m_token.clear();
        return;
    case 3:
        if (before.size() >= 1 && before.back() == '?' && c == '>') m_marks = 0, m_token.clear();
        return;
    }
}

void CXMLTokenFilter::StartName(unsigned char c, State state) {
    m_name->Reset();
    m_name->bStarted = true;
    m_state = state;
    NameByte(c);
}

std::string CXMLTokenFilter::Name::GivenUp(bool bCharacter) const {
    if (!hash) return raw;
    // Past a character cut short by the end of raw: its other bytes went to the hash.
    std::size_t whole = raw.size();
    std::size_t lead = raw.size();
    while (lead > 0 && (static_cast<unsigned char>(raw[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead > 0 && static_cast<unsigned char>(raw[lead - 1]) >= 0xC0) {
        const unsigned char first = static_cast<unsigned char>(raw[lead - 1]);
        const std::size_t length = first < 0xE0 ? 2 : first < 0xF0 ? 3 : 4;
        if (raw.size() - (lead - 1) < length) whole = lead - 1;
    }
    return raw.substr(0, whole) + (bCharacter ? character.raw : std::string());
}

bool CXMLTokenFilter::NameByte(unsigned char c) {
    Name& name = *m_name;
    if (c < 0x80 && name.character.need == 0 && !IsAsciiNameByte(c)) return false;
    if (!m_bMapNames) {
        Emit(static_cast<char>(c));
        return true;
    }
    if (name.raw.size() < m_limits.maxNameBytes) {
        name.raw += static_cast<char>(c);
    } else {
        if (!name.hash) {
            name.hash.reset(EVP_MD_CTX_new());
            if (!name.hash || EVP_DigestInit_ex(name.hash.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
            EVP_DigestUpdate(name.hash.get(), name.raw.data(), name.raw.size());
        }
        EVP_DigestUpdate(name.hash.get(), &c, 1);
    }
    const int got = name.character.Push(c);
    if (got == 1 && IsNameChar(name.character.code, name.bFirst)) {
        name.bFirst = false;
    } else if (got != 0) {
        // Not a name: what the parser gets shows it where it is.
        Fail(name.GivenUp(true));
    }
    return true;
}

namespace {

std::string Digest(EVP_MD_CTX* hash) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(hash, digest, &length);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Hex(const std::string& bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < std::min(count, bytes.size()); ++i) {
        hex += digits[static_cast<unsigned char>(bytes[i]) >> 4];
        hex += digits[static_cast<unsigned char>(bytes[i]) & 15];
    }
    return hex;
}

}  // namespace

void CXMLTokenFilter::EndElementName() {
    m_bRoot = true;
    if (!m_bMapNames) {
        m_state = State::InTag;
        return;
    }
    Name& name = *m_name;
    if (name.character.need > 0) return Fail(name.GivenUp(true));
    if (m_open.size() >= m_maxDepth) return Fail(name.GivenUp(false));
    Open open{false, name.raw, {}};
    if (name.hash) {
        const std::string digest = Digest(name.hash.get());
        // No short name has a first byte of 1: a long name never matches one.
        open.key = '\x01' + digest;
        const std::string hex = Hex(digest, 16);
        open.name = Utf16(name.raw, kShownNameUnits) + u"~" + std::u16string(hex.begin(), hex.end());
        open.bStandIn = true;
    } else if (name.raw == m_lastKept ||
               (name.raw != kStandIn && (m_kept.size() < m_limits.keptNames ? m_kept.insert(name.raw).first
                                                                            : m_kept.find(name.raw)) != m_kept.end())) {
        // Siblings mostly share a name: the last one kept is checked before the set.
        m_lastKept = name.raw;
    } else {
        open.bStandIn = true;
        open.name = Utf16(name.raw, m_limits.maxNameBytes);
    }
    if (open.bStandIn) {
        Emit(kStandIn);
        m_names.push_back(open.name);
    } else {
        Emit(name.raw);
    }
    m_open.push_back(std::move(open));
    m_state = State::InTag;
}

void CXMLTokenFilter::EndTagName() {
    m_state = State::EndTail;
    if (!m_bMapNames) return;
    Name& name = *m_name;
    if (name.character.need > 0 || m_open.empty()) return Fail(name.GivenUp(name.character.need > 0));
    const std::string key = name.hash ? '\x01' + Digest(name.hash.get()) : name.raw;
    Open& open = m_open.back();
    if (key == open.key) {
        Emit(open.bStandIn ? std::string(kStandIn) : name.raw);
        m_open.pop_back();
        return;
    }
    // A name the parser did not see open cannot be named by it: the end tag gets a name that
    // differs at its first character, which fails the same way, and the reader gives the name.
    if (open.bStandIn) {
        m_expected = open.name;
        return Fail("x");
    }
    Fail(kStandIn);
}

void CXMLTokenFilter::EndAttributeName() {
    m_state = State::AttrEq;
    m_quote = 0;
    if (!m_bMapNames) return;
    Name& name = *m_name;
    if (name.character.need > 0) return Fail(name.GivenUp(true));
    // Attributes are never reported: a long name only has to stay itself, distinct from others.
    Emit(name.hash ? "_" + Hex(Digest(name.hash.get()), 32) : name.raw);
}

void CXMLTokenFilter::ValueByte(unsigned char c) {
    if (m_bDropping) return DroppedValueByte(c);
    if (c == static_cast<unsigned char>(m_quote)) {
        Emit(static_cast<char>(c));
        m_state = State::InTag;
        return;
    }
    Emit(static_cast<char>(c));
    if (c == '<') {
        m_state = State::Off;
        return;
    }
    if (c == '&')
        m_bInReference = true;
    else if (c == ';')
        m_bInReference = false;
    // A line break "\r\n" may straddle the part kept and the part left out.
    m_bCarriageReturn = c == '\r';
    if (c >= 0x80 || m_char.need > 0) m_char.Push(c);
    if (++m_length >= m_limits.maxValueBytes && !m_bInReference && m_char.need == 0) m_bDropping = true;
}

void CXMLTokenFilter::DroppedValueByte(unsigned char c) {
    // A reference with a name not all ASCII (declared or not) goes to the parser whole.
    if (!m_token.empty()) {
        m_token += static_cast<char>(c);
        if (c == ';') return EndReference();
        if (m_token.size() > kMaxReferenceBytes || !(IsAsciiNameByte(c) || c == '#')) Fail(m_token);
        return;
    }
    if (c >= 0x80 || m_char.need > 0) {
        // A character between a CR and an LF: they are two line breaks.
        m_bCarriageReturn = false;
        const int got = m_char.Push(c);
        if (got < 0 || (got == 1 && !IsXmlChar(m_char.code))) Fail(m_char.raw);
        return;
    }
    if (c == static_cast<unsigned char>(m_quote)) {
        if (m_valueLines == 0) {
            Emit(static_cast<char>(c));
            m_state = State::InTag;
        } else {
            m_state = State::AfterValue;
        }
        return;
    }
    const bool bCarriageReturn = m_bCarriageReturn;
    m_bCarriageReturn = c == '\r';
    if (c == '&') {
        m_token = "&";
    } else if (c == '\r' || (c == '\n' && !bCarriageReturn)) {
        ++m_valueLines;
    } else if (c == '<' || (c < 0x20 && c != '\t' && c != '\n')) {
        Fail(std::string(1, static_cast<char>(c)));
    }
}

void CXMLTokenFilter::EndReference() {
    // A character reference or a predefined entity is checked here; any other entity goes to
    // the parser, which knows the declared ones and counts their expansions.
    static const char* const predefined[] = {"&lt;", "&gt;", "&amp;", "&quot;", "&apos;"};
    bool bChecked = false;
    if (m_token.size() > 2 && m_token[1] == '#') {
        if (!IsGoodCharacterReference(m_token)) return Fail(m_token);
        bChecked = true;
    }
    for (const char* name : predefined) bChecked = bChecked || m_token == name;
    if (!bChecked) {
        // The parser may refuse it: the line breaks left out before it go first, so its error
        // is on its line. They are CRs for the reason Fail gives.
        m_dueBreak = '\r';
        m_dueLines = m_valueLines;
        m_valueLines = 0;
        Emit(m_token);
    }
    m_token.clear();
}

// A lead byte of a sequence longer than what is left is the only UTF-8 fault the parser lets
// pass; the longest sequence it takes a lead byte for is six bytes.
constexpr std::size_t kTailBytes = 6;

void CXMLTokenFilter::KeepTail() {
    const std::size_t take = std::min(m_inputSize, kTailBytes);
    m_tail.append(m_input.data() + m_inputSize - take, take);
    if (m_tail.size() > kTailBytes) m_tail.erase(0, m_tail.size() - kTailBytes);
}

bool CXMLTokenFilter::EndsInsideCharacter() const {
    // A document in another encoding may end in any byte.
    if (!m_bEnd || !m_bUtf8) return false;
    for (std::size_t i = 0; i < m_tail.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(m_tail[i]);
        if (c < 0xC0) continue;
        const std::size_t length = c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF8 ? 4 : c < 0xFC ? 5 : 6;
        if (i + length > m_tail.size()) return true;
    }
    return false;
}

void CXMLTokenFilter::Finish() {
    switch (m_state) {
    case State::Sniff:
        Emit(m_head);
        break;
    case State::Bang:
        Emit(m_token);
        break;
    case State::CData:
        Emit(std::string(m_marks, ']'));
        break;
    case State::StartName:
    case State::EndName:
    case State::AttrName:
        if (m_name->bStarted && m_bMapNames) Emit(m_name->raw);
        break;
    case State::AttrValue:
        Fail(m_token);
        break;
    case State::AfterValue:
        Fail(std::string(1, m_quote));
        break;
    default:
        break;
    }
    m_state = State::Off;
}
