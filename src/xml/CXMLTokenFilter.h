#ifndef MAD_XML_CXMLTOKENFILTER_H
#define MAD_XML_CXMLTOKENFILTER_H

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

// Sits between a UTF-8 document and the parser and rewrites every token the parser would have
// to hold whole into short ones the parser reads the same way, so that reading takes memory
// bounded whatever the length of a comment, CDATA section, processing instruction, attribute
// value or name, and whatever the number of different element names:
//  - a long comment, CDATA section or processing instruction is cut into several of the same
//    kind (the same target for an instruction), at points where no terminator is made or broken;
//  - the part of an attribute value past maxValueBytes is checked here (characters, no '<',
//    well-formed references) and left out; its line breaks are kept after the value, or before
//    an entity reference in it that goes on to the parser;
//  - element names past the first keptNames different ones, and every name longer than
//    maxNameBytes, reach the parser as kStandIn; this filter checks such names and the nesting
//    of their tags, and TakeName() gives the name the parser's next kStandIn element had
//    (a long name as its start, '~' and a hash of it). A long attribute name becomes a hash;
//  - a start tag of at most maxCheckedTagBytes on one line, whose attributes are all plain (ASCII,
//    no name starting "xml", only predefined and character references), has them checked here and
//    left out: attributes are never reported, and the parser would only have checked them. They
//    become spaces unless nothing but white space follows the tag on its line.
// Line breaks are never added or removed, so the parser's line numbers stay those of the file;
// columns may differ on a line that holds a cut or shortened token. Anything malformed is passed
// on unchanged from the point where it is seen, for the parser to report. Element names are left
// alone in a document with an internal DTD subset, whose entities could produce markup this
// filter never sees. Documents in other encodings (declared, or UTF-16 by their first bytes)
// pass unchanged: cutting their bytes is not sound, and their tokens stay whole.
// What the filter holds is bounded: its buffers, keptNames names, an entry per open element up
// to maxDepth, and the names of stand-ins the parser has not reached (at most its read-ahead).
class CXMLTokenFilter final {
public:
    // Fills a buffer with up to size bytes of the document; 0 at its end. May throw.
    using Source = std::function<std::size_t(char* buffer, std::size_t size)>;

    static constexpr std::size_t kMaxTokenBytes = 64 * 1024;
    static constexpr std::size_t kMaxValueBytes = 64 * 1024;
    static constexpr std::size_t kMaxNameBytes = 256;
    static constexpr std::size_t kKeptNames = 1024;
    static constexpr std::size_t kMaxCheckedTagBytes = 4096;
    static constexpr const char* kStandIn = "_";

    // Where the filter cuts; the defaults are the constants above. Smaller values let a test
    // exercise every cut with short documents.
    struct Limits {
        std::size_t maxTokenBytes = kMaxTokenBytes;
        std::size_t maxValueBytes = kMaxValueBytes;
        std::size_t maxNameBytes = kMaxNameBytes;
        std::size_t keptNames = kKeptNames;
        std::size_t maxCheckedTagBytes = kMaxCheckedTagBytes;
    };

    // Elements nest at most maxDepth levels for this filter; deeper, it passes everything on.
    CXMLTokenFilter(Source source, unsigned int maxDepth);
    CXMLTokenFilter(Source source, unsigned int maxDepth, const Limits& limits);
    ~CXMLTokenFilter();
    CXMLTokenFilter(const CXMLTokenFilter&) = delete;
    CXMLTokenFilter& operator=(const CXMLTokenFilter&) = delete;

    // Up to size bytes of the rewritten document; 0 at its end.
    std::size_t Read(char* buffer, std::size_t size);

    // The name of the next kStandIn start tag the parser reports; false when none is waiting
    // (the element then really has that name).
    bool TakeName(std::u16string& name);
    // When an end tag did not match a start tag that reached the parser as kStandIn: that
    // start tag's name, for the parser's message; empty otherwise.
    const std::u16string& Expected() const { return m_expected; }
    // The name TakeName would give next, or null.
    const std::u16string* NextName() const { return m_names.empty() ? nullptr : &m_names.front(); }
    // Whether a UTF-8 document, read to its end, ends inside a character: a lead byte whose
    // sequence the document is too short to hold. The parser takes such a tail for the end of
    // its input and says nothing, so after the root element it would read as complete.
    bool EndsInsideCharacter() const;
    // Whether the bytes read so far hold the root element's start tag and no DOCTYPE came
    // before it: the document declares nothing, so its parse needs no DTD support. False while
    // undecided, and for a document passed on unchanged.
    bool RootWithoutDoctype() const { return m_bRoot && !m_bDoctype; }

private:
    enum class State;
    // One UTF-8 character read byte by byte.
    struct Utf8 {
        // 1 when code holds a whole character, 0 when more bytes are needed, -1 when the bytes
        // are not UTF-8; raw holds the bytes of the character so far.
        int Push(unsigned char c);
        unsigned int need = 0;
        char32_t code = 0;
        char32_t least = 0;
        std::string raw;
    };
    struct Open {
        bool bStandIn;
        std::string key;
        std::u16string name;
    };
    // A name being read: its first bytes, or a hash of it once longer than kMaxNameBytes.
    struct Name;

    void Step(unsigned char c);
    // Consumes a whole tag after its '<' when it can be taken at once; false when not.
    bool Tag();
    // Where the '>' of a start tag is in text (what follows its name, length bytes of it) when
    // the attributes before it are all well-formed and plain, each name once; npos otherwise.
    std::size_t PlainAttributes(const unsigned char* text, std::size_t length) const;
    // Consumes a run of input bytes that need no state change; false when there is none.
    bool Run();
    void Emit(const std::string& text);
    void Emit(char c);
    // Passes raw on (after the line breaks a shortened value held back) and everything after.
    void Fail(const std::string& raw);
    void Finish();
    void KeepTail();
    void Sniff(unsigned char c);
    void StartName(unsigned char c, State state);
    // False when c ends the name; a name found malformed ends the rewriting.
    bool NameByte(unsigned char c);
    void EndElementName();
    void EndTagName();
    void EndAttributeName();
    bool Split(unsigned char c);
    // One byte of a CDATA section's text, after a cut when one is due.
    void CDataByte(unsigned char c);
    void ValueByte(unsigned char c);
    void DroppedValueByte(unsigned char c);
    void EndReference();
    void DoctypeByte(unsigned char c);

    Source m_source;
    unsigned int m_maxDepth;
    Limits m_limits;
    std::vector<char> m_input;
    std::size_t m_inputPos = 0;
    std::size_t m_inputSize = 0;
    bool m_bEnd = false;
    bool m_bUtf8 = false;
    // The last bytes of the input, for EndsInsideCharacter.
    std::string m_tail;
    std::string m_out;
    std::size_t m_outPos = 0;
    // Line breaks to write before m_after (the rest of a shortened value's tag).
    std::size_t m_dueLines = 0;
    char m_dueBreak = '\n';
    std::string m_after;

    State m_state;
    std::string m_head;
    bool m_bMapNames = true;
    std::size_t m_length = 0;
    unsigned int m_marks = 0;
    std::string m_token;
    std::string m_target;
    char m_quote = 0;
    bool m_bDropping = false;
    bool m_bInReference = false;
    std::size_t m_valueLines = 0;
    bool m_bCarriageReturn = false;
    bool m_bSubset = false;
    bool m_bRoot = false;
    bool m_bDoctype = false;
    Utf8 m_char;
    std::vector<Open> m_open;
    std::unordered_set<std::string> m_kept;
    std::string m_lastKept;
    std::deque<std::u16string> m_names;
    std::u16string m_expected;
    std::unique_ptr<Name> m_name;
};

#endif
