#include "xml/CMapVersionStamp.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "fs/CAtomicFile.h"

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
// Longer general entity names or element names than this are never "meta" or "version".
constexpr std::size_t kMaxReferenceLength = 1024;

// Owns one descriptor; closes it on every path.
class Descriptor final {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

bool ReadSome(int fd, unsigned char* buffer, std::size_t size, std::size_t& got) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return true;
        }
        if (errno != EINTR) return false;
    }
}

// How the document's characters sit in its bytes. Markup is ASCII in every encoding accepted
// here, so the scanner works on code units: bytes (UTF-8 and 8-bit encodings, where no byte of a
// non-ASCII character is below 0x80 in UTF-8, and each byte is a character otherwise) or 16-bit
// units (UTF-16, where no half of a surrogate pair is ASCII).
struct Encoding {
    unsigned int unitSize = 1;
    bool bigEndian = false;

    // The code unit whose bytes start at bytes (unitSize of them).
    uint32_t Decode(const unsigned char* bytes) const {
        if (unitSize == 1) return bytes[0];
        return bigEndian ? (bytes[0] << 8 | bytes[1]) : (bytes[1] << 8 | bytes[0]);
    }

    std::string Encode(const std::string& ascii) const {
        if (unitSize == 1) return ascii;
        std::string out;
        for (char c : ascii) {
            out.push_back(bigEndian ? '\0' : c);
            out.push_back(bigEndian ? c : '\0');
        }
        return out;
    }
};

// The encoding declared in an 8-bit document's XML declaration, lower case; empty when none.
std::string DeclaredEncoding(const unsigned char* head, std::size_t length) {
    const std::string text(reinterpret_cast<const char*>(head), length);
    std::size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (text.compare(start, 5, "<?xml") != 0) return "";
    const std::size_t close = text.find("?>", start);
    const std::size_t key = text.find("encoding", start);
    if (key == std::string::npos || (close != std::string::npos && key > close)) return "";
    std::size_t pos = text.find_first_of("\"'", key);
    if (pos == std::string::npos) return "";
    const std::size_t end = text.find(text[pos], pos + 1);
    if (end == std::string::npos) return "";
    std::string name = text.substr(pos + 1, end - pos - 1);
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return name;
}

// 8-bit encodings in which every ASCII byte is that ASCII character and nothing else.
bool IsAsciiCompatible(const std::string& name) {
    if (name.empty() || name == "utf-8" || name == "utf8" || name == "us-ascii" || name == "ascii") return true;
    return name.rfind("iso-8859-", 0) == 0 || name.rfind("iso8859-", 0) == 0 || name.rfind("windows-125", 0) == 0 ||
           name.rfind("cp125", 0) == 0 || name == "latin1" || name == "iso_8859-1" || name == "koi8-r" ||
           name == "koi8-u";
}

bool DetectEncoding(const unsigned char* head, std::size_t length, Encoding& encoding, std::string& reason) {
    const auto starts = [&](std::initializer_list<unsigned char> bytes) {
        if (length < bytes.size()) return false;
        std::size_t i = 0;
        for (unsigned char b : bytes)
            if (head[i++] != b) return false;
        return true;
    };
    if (starts({0x00, 0x00, 0xFE, 0xFF}) || starts({0xFF, 0xFE, 0x00, 0x00}) || starts({0x00, 0x00, 0x00, 0x3C}) ||
        starts({0x3C, 0x00, 0x00, 0x00}) || starts({0x4C, 0x6F, 0xA7, 0x94})) {
        reason = "encoding not supported";
        return false;
    }
    if (starts({0xFE, 0xFF}) || starts({0x00, 0x3C, 0x00, 0x3F})) {
        encoding = {2, true};
        return true;
    }
    if (starts({0xFF, 0xFE}) || starts({0x3C, 0x00, 0x3F, 0x00})) {
        encoding = {2, false};
        return true;
    }
    const std::string declared = DeclaredEncoding(head, length);
    if (!IsAsciiCompatible(declared)) {
        reason = "encoding " + declared + " not supported";
        return false;
    }
    encoding = {1, false};
    return true;
}

// Reads a file as code units with their byte offsets.
class UnitInput final {
public:
    UnitInput(int fd, const Encoding& encoding) : m_fd(fd), m_encoding(encoding) {}

    // The next unit; false at the end of the file or on a read error (Failed()).
    bool Get(uint32_t& unit) {
        if (!Fill()) return false;
        unit = m_encoding.Decode(m_buffer + m_pos);
        m_pos += m_encoding.unitSize;
        return true;
    }
    // Byte offset of the next unit.
    uint64_t Offset() const { return m_base + m_pos; }
    bool Failed() const { return m_bFailed; }

private:
    bool Fill() {
        while (m_length - m_pos < m_encoding.unitSize) {
            if (m_bEnd) return false;
            const std::size_t rest = m_length - m_pos;
            std::memmove(m_buffer, m_buffer + m_pos, rest);
            m_base += m_pos;
            m_pos = 0;
            std::size_t got = 0;
            if (!ReadSome(m_fd, m_buffer + rest, sizeof m_buffer - rest, got)) {
                m_bFailed = true;
                m_bEnd = true;
                return false;
            }
            m_length = rest + got;
            if (got == 0) m_bEnd = true;
        }
        return true;
    }

    int m_fd;
    Encoding m_encoding;
    unsigned char m_buffer[kBufferSize];
    std::size_t m_length = 0;
    std::size_t m_pos = 0;
    uint64_t m_base = 0;
    bool m_bEnd = false;
    bool m_bFailed = false;
};

// Reads the bytes held in memory as code units with their byte offsets; notes whether it ran out
// of them, so a scan of a body still arriving can tell a verdict from a want of bytes.
class MemoryInput final {
public:
    MemoryInput(const unsigned char* data, std::size_t length, const Encoding& encoding)
        : m_data(data), m_length(length), m_encoding(encoding) {}

    bool Get(uint32_t& unit) {
        if (m_length - m_pos < m_encoding.unitSize) {
            m_bExhausted = true;
            return false;
        }
        unit = m_encoding.Decode(m_data + m_pos);
        m_pos += m_encoding.unitSize;
        return true;
    }
    uint64_t Offset() const { return m_pos; }
    bool Failed() const { return false; }
    bool Exhausted() const { return m_bExhausted; }

private:
    const unsigned char* m_data;
    std::size_t m_length;
    Encoding m_encoding;
    std::size_t m_pos = 0;
    bool m_bExhausted = false;
};

bool IsSpace(uint32_t u) { return u == ' ' || u == '\t' || u == '\r' || u == '\n'; }

// The XML version named by the declaration the document starts with (after a byte order mark),
// read in its encoding; "1.0" when it has no declaration.
std::string DeclaredVersion(const unsigned char* head, std::size_t length, const Encoding& encoding) {
    std::string text;
    for (std::size_t i = 0; i + encoding.unitSize <= length; i += encoding.unitSize) {
        const uint32_t unit = encoding.Decode(head + i);
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '\x80');
    }
    std::size_t pos = 0;
    while (pos < 3 && pos < text.size() && text[pos] == '\x80') ++pos;
    const auto space = [&] {
        const std::size_t from = pos;
        while (pos < text.size() && IsSpace(static_cast<unsigned char>(text[pos]))) ++pos;
        return pos > from;
    };
    if (text.compare(pos, 5, "<?xml") != 0) return "1.0";
    pos += 5;
    // "<?xml-stylesheet ...?>" and the like are instructions, not a declaration.
    if (!space()) return "1.0";
    if (text.compare(pos, 7, "version") != 0) return "";
    pos += 7;
    space();
    if (pos >= text.size() || text[pos] != '=') return "";
    ++pos;
    space();
    if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\'')) return "";
    const std::size_t end = text.find(text[pos], pos + 1);
    if (end == std::string::npos) return "";
    return text.substr(pos + 1, end - pos - 1);
}

// Whether the scanner can follow the document's markup: XML 1.0 only. XML 1.1 reads a NEL or a
// LINE SEPARATOR as a line break, so one may end a name where the scanner sees none; it would
// lose its place in the markup and could set the record over a comment's end.
bool IsReadableVersion(const unsigned char* head, std::size_t length, const Encoding& encoding, std::string& reason) {
    const std::string version = DeclaredVersion(head, length, encoding);
    if (version == "1.0") return true;
    reason = "XML version " + version + " not supported";
    return false;
}

// Walks the markup of a well-formed document far enough to find the version record. Depth is
// the number of open elements: the root is at depth 1, meta at 2, version at 3. Input is a
// UnitInput or a MemoryInput.
template <typename Input>
class RecordScanner final {
public:
    RecordScanner(Input& input, unsigned int version, unsigned int unitSize)
        : m_unitSize(unitSize), m_in(input), m_number(std::to_string(version)) {}

    // True with the plan set when the record (or the place for one) was found.
    bool Run() {
        uint32_t u = 0;
        while (!m_bDone && m_in.Get(u)) {
            if (u == '<') {
                if (!Markup()) return false;
            } else if (u == '&') {
                if (!Reference()) return false;
            }
        }
        if (m_in.Failed()) return Fail(std::string("cannot read the map: ") + std::strerror(errno));
        if (!m_bDone) return Fail(m_bMeta ? "no version record" : "no meta element");
        return m_bPlanned;
    }

    bool FoundMeta() const { return m_bMeta; }
    bool FoundVersion() const { return m_bVersion; }

    // The plan: bytes [begin, end) become replacement (ASCII, not yet encoded); or why not.
    uint64_t begin = 0;
    uint64_t end = 0;
    std::string replacement;
    std::string reason;

private:
    bool Fail(const std::string& why) {
        if (reason.empty()) reason = why;
        m_bDone = true;
        return false;
    }
    bool Unexpected() { return Fail("markup not understood"); }

    bool Expect(const char* text) {
        uint32_t u = 0;
        for (; *text; ++text)
            if (!m_in.Get(u) || u != static_cast<unsigned char>(*text)) return false;
        return true;
    }

    // Skips up to and including terminator (at most 3 units long).
    bool SkipPast(const char* terminator) {
        const std::size_t n = std::strlen(terminator);
        uint32_t window[3] = {0, 0, 0};
        std::size_t seen = 0;
        uint32_t u = 0;
        while (m_in.Get(u)) {
            window[0] = window[1];
            window[1] = window[2];
            window[2] = u;
            ++seen;
            if (seen >= n) {
                bool match = true;
                for (std::size_t i = 0; i < n && match; ++i)
                    match = window[3 - n + i] == static_cast<unsigned char>(terminator[i]);
                if (match) return true;
            }
        }
        return false;
    }

    bool SkipQuoted(uint32_t quote) {
        uint32_t u = 0;
        while (m_in.Get(u))
            if (u == quote) return true;
        return false;
    }

    // The rest of a name whose first unit is first; name holds it when it is short ASCII.
    // Ends at the unit after the name, which is left in next.
    bool Name(uint32_t first, std::string& name, uint32_t& next) {
        name.clear();
        bool ascii = true;
        uint32_t u = first;
        for (;;) {
            if (IsSpace(u) || u == '/' || u == '>') break;
            if (u < 0x80 && name.size() < kMaxReferenceLength)
                name.push_back(static_cast<char>(u));
            else
                ascii = false;
            if (!m_in.Get(u)) return false;
        }
        if (!ascii) name.clear();
        next = u;
        return true;
    }

    // After a start tag's name: up to and including '>'. slash is the offset of the '/' of
    // "/>" when the tag closes itself.
    bool TagRest(uint32_t u, bool& selfClosing, uint64_t& slash) {
        selfClosing = false;
        for (;;) {
            if (u == '"' || u == '\'') {
                if (!SkipQuoted(u)) return false;
                selfClosing = false;
            } else if (u == '>') {
                return true;
            } else if (u == '/') {
                selfClosing = true;
                slash = m_in.Offset() - m_unitSize;
            } else if (!IsSpace(u)) {
                selfClosing = false;
            }
            if (!m_in.Get(u)) return false;
        }
    }

    bool Doctype() {
        // Quoted literals and the internal subset may hold '>'; the subset may hold comments
        // and processing instructions, whose quotes are not literals.
        uint32_t u = 0;
        while (m_in.Get(u)) {
            if (u == '"' || u == '\'') {
                if (!SkipQuoted(u)) return false;
            } else if (u == '[') {
                if (!InternalSubset()) return false;
            } else if (u == '>') {
                return true;
            }
        }
        return false;
    }

    bool InternalSubset() {
        uint32_t u = 0;
        while (m_in.Get(u)) {
            if (u == ']') return true;
            if (u == '"' || u == '\'') {
                if (!SkipQuoted(u)) return false;
            } else if (u == '<') {
                if (!m_in.Get(u)) return false;
                if (u == '?') {
                    if (!SkipPast("?>")) return false;
                } else if (u == '!') {
                    if (!m_in.Get(u)) return false;
                    if (u == '-') {
                        if (!Expect("-") || !SkipPast("-->")) return false;
                    } else if (u == '"' || u == '\'') {
                        if (!SkipQuoted(u)) return false;
                    }
                }
            }
        }
        return false;
    }

    bool Markup() {
        const uint64_t tagStart = m_in.Offset() - m_unitSize;
        uint32_t u = 0;
        if (!m_in.Get(u)) return Unexpected();
        if (u == '?') return SkipPast("?>") || Unexpected();
        if (u == '!') {
            if (!m_in.Get(u)) return Unexpected();
            if (u == '-') return (Expect("-") && SkipPast("-->")) || Unexpected();
            if (u == '[') return (Expect("CDATA[") && SkipPast("]]>")) || Unexpected();
            if (u == 'D' && m_depth == 0) return (Expect("OCTYPE") && Doctype()) || Unexpected();
            return Unexpected();
        }
        if (u == '/') return EndTag(tagStart);
        return StartTag(u);
    }

    bool StartTag(uint32_t first) {
        std::string name;
        uint32_t next = 0;
        bool selfClosing = false;
        uint64_t slash = 0;
        if (!Name(first, name, next) || !TagRest(next, selfClosing, slash)) return Unexpected();
        const uint64_t afterTag = m_in.Offset();
        if (m_depth == 0 && m_bRootSeen) return Unexpected();
        if (m_depth == 0) {
            m_bRootSeen = true;
            if (selfClosing) return Fail("no meta element");
        } else if (m_depth == 1 && !m_bMeta && strcasecmp(name.c_str(), "meta") == 0) {
            m_bMeta = true;
            m_metaName = name;
            if (selfClosing) return Plan(slash, afterTag, "><version>" + m_number + "</version></" + name + ">");
            m_bInMeta = true;
        } else if (m_depth == 2 && m_bInMeta && !m_bVersion && strcasecmp(name.c_str(), "version") == 0) {
            m_bVersion = true;
            if (selfClosing) return Plan(slash, afterTag, ">" + m_number + "</" + name + ">");
            m_bInVersion = true;
            m_contentStart = afterTag;
        }
        if (!selfClosing) ++m_depth;
        return true;
    }

    bool EndTag(uint64_t tagStart) {
        uint32_t u = 0;
        while (m_in.Get(u) && u != '>') {
        }
        if (u != '>' || m_depth == 0) return Unexpected();
        if (m_depth == 3 && m_bInVersion) return Plan(m_contentStart, tagStart, m_number);
        if (m_depth == 2 && m_bInMeta) return Plan(tagStart, tagStart, "<version>" + m_number + "</version>");
        if (--m_depth == 0) return Fail("no meta element");
        return true;
    }

    // A general entity's text could hold the record itself, where the parser would find it.
    bool Reference() {
        std::string name;
        uint32_t u = 0;
        while (m_in.Get(u) && u != ';') {
            if (name.size() > kMaxReferenceLength) return Unexpected();
            name.push_back(u < 0x80 ? static_cast<char>(u) : '?');
        }
        if (u != ';') return Unexpected();
        const bool predefined =
            name[0] == '#' || name == "lt" || name == "gt" || name == "amp" || name == "apos" || name == "quot";
        const bool couldHoldRecord = (m_depth == 1 && !m_bMeta) || (m_depth == 2 && m_bInMeta && !m_bVersion);
        if (!predefined && couldHoldRecord) return Fail("the version record may come from an entity");
        return true;
    }

    bool Plan(uint64_t from, uint64_t to, const std::string& text) {
        begin = from;
        end = to;
        replacement = text;
        m_bPlanned = true;
        m_bDone = true;
        return true;
    }

    unsigned int m_unitSize;
    Input& m_in;
    std::string m_number;
    std::string m_metaName;
    unsigned int m_depth = 0;
    bool m_bRootSeen = false;
    bool m_bMeta = false;
    bool m_bVersion = false;
    bool m_bInMeta = false;
    bool m_bInVersion = false;
    bool m_bPlanned = false;
    bool m_bDone = false;
    uint64_t m_contentStart = 0;
};

}  // namespace

bool CMapVersionStamp::Locate(const char* path, unsigned int version) {
    m_path = path ? path : "";
    m_fd = -1;
    Descriptor fd(::open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        m_bLocated = m_bMeta = m_bVersion = false;
        m_reason = std::string("cannot read the map: ") + std::strerror(errno);
        return false;
    }
    return Scan(fd.Get(), version);
}

bool CMapVersionStamp::Locate(int fd, unsigned int version) {
    m_path.clear();
    m_fd = fd;
    return Scan(fd, version);
}

bool CMapVersionStamp::Scan(int fd, unsigned int version) {
    m_bLocated = m_bMeta = m_bVersion = false;
    m_begin = m_end = 0;
    m_replacement.clear();
    m_reason.clear();
    unsigned char head[1024];
    std::size_t length = 0;
    if (::lseek(fd, 0, SEEK_SET) != 0 || !ReadSome(fd, head, sizeof head, length) || ::lseek(fd, 0, SEEK_SET) != 0) {
        m_reason = std::string("cannot read the map: ") + std::strerror(errno);
        return false;
    }
    Encoding encoding;
    if (!DetectEncoding(head, length, encoding, m_reason) || !IsReadableVersion(head, length, encoding, m_reason))
        return false;
    auto input = std::make_unique<UnitInput>(fd, encoding);
    RecordScanner<UnitInput> scanner(*input, version, encoding.unitSize);
    const bool found = scanner.Run();
    m_bMeta = scanner.FoundMeta();
    m_bVersion = scanner.FoundVersion();
    if (!found) {
        m_reason = scanner.reason;
        return false;
    }
    m_begin = scanner.begin;
    m_end = scanner.end;
    m_replacement = encoding.Encode(scanner.replacement);
    m_bLocated = true;
    return true;
}

void CMapVersionStamp::Drop(const std::string& reason) {
    m_bLocated = false;
    m_reason = reason;
}

bool CMapVersionStamp::CopyTo(CAtomicFile& destination) {
    Descriptor owned(m_fd < 0 ? ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    const int fd = m_fd < 0 ? owned.Get() : m_fd;
    if (fd < 0 || (m_fd >= 0 && ::lseek(fd, 0, SEEK_SET) != 0)) {
        m_reason = std::string("cannot read the map: ") + std::strerror(errno);
        return false;
    }
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBufferSize]);
    uint64_t offset = 0;
    bool inserted = false;
    for (;;) {
        std::size_t got = 0;
        if (!ReadSome(fd, buffer.get(), kBufferSize, got)) {
            m_reason = std::string("cannot read the map: ") + std::strerror(errno);
            return false;
        }
        if (got == 0) break;
        if (!WritePiece(buffer.get(), got, offset, inserted, destination)) return false;
        offset += got;
    }
    if (m_bLocated && !inserted) {
        // The record sits at the very end (cannot happen in a well-formed document).
        m_reason = "map changed while it was stamped";
        return false;
    }
    return true;
}

bool CMapVersionStamp::WritePiece(const unsigned char* data, std::size_t length, uint64_t offset, bool& inserted,
                                  CAtomicFile& destination) {
    const uint64_t pieceEnd = offset + length;
    // Bytes before m_begin and from m_end on are copied; the replacement goes in at m_begin.
    uint64_t pos = offset;
    while (pos < pieceEnd) {
        if (m_bLocated && !inserted && pos == m_begin) {
            if (!destination.Write(m_replacement.data(), m_replacement.size())) return WriteFailed(destination);
            inserted = true;
        }
        uint64_t until = pieceEnd;
        bool skip = false;
        if (m_bLocated && pos < m_begin) {
            until = std::min(pieceEnd, m_begin);
        } else if (m_bLocated && pos < m_end) {
            until = std::min(pieceEnd, m_end);
            skip = true;
        }
        if (!skip && !destination.Write(data + (pos - offset), static_cast<std::size_t>(until - pos)))
            return WriteFailed(destination);
        pos = until;
    }
    return true;
}

CMapVersionStamp::Verdict CMapVersionStamp::Decide(const void* head, std::size_t length, bool whole,
                                                   unsigned int version) {
    m_path.clear();
    m_fd = -1;
    m_bLocated = m_bMeta = m_bVersion = false;
    m_begin = m_end = 0;
    m_replacement.clear();
    m_reason.clear();
    m_bInserted = false;
    m_written = 0;
    const auto* bytes = static_cast<const unsigned char*>(head);
    // The encoding is told within the first kilobyte.
    constexpr std::size_t kEncodingHead = 1024;
    if (!whole && length < kEncodingHead) return Verdict::NeedMore;
    Encoding encoding;
    const std::size_t headLength = std::min(length, kEncodingHead);
    if (!DetectEncoding(bytes, headLength, encoding, m_reason) ||
        !IsReadableVersion(bytes, headLength, encoding, m_reason))
        return Verdict::Decided;
    MemoryInput input(bytes, length, encoding);
    RecordScanner<MemoryInput> scanner(input, version, encoding.unitSize);
    const bool found = scanner.Run();
    if (!whole && input.Exhausted()) {
        m_reason.clear();
        return Verdict::NeedMore;
    }
    m_bMeta = scanner.FoundMeta();
    m_bVersion = scanner.FoundVersion();
    if (!found) {
        m_reason = scanner.reason;
        return Verdict::Decided;
    }
    m_begin = scanner.begin;
    m_end = scanner.end;
    m_replacement = encoding.Encode(scanner.replacement);
    m_bLocated = true;
    return Verdict::Decided;
}

bool CMapVersionStamp::Write(const void* data, std::size_t length, CAtomicFile& destination) {
    const bool written =
        WritePiece(static_cast<const unsigned char*>(data), length, m_written, m_bInserted, destination);
    m_written += length;
    return written;
}

bool CMapVersionStamp::WriteFailed(const CAtomicFile& destination) {
    m_reason = destination.ErrorText();
    return false;
}
