// The token filter against the parser alone: a document read with the filter cutting at a few
// bytes must give what it gives read with limits nothing reaches, the same result, the same
// elements, depths and text, and for a malformed document a failure on the same line. A name
// over the short limit comes back as its start, '~' and a hash, which is accepted for its name.
// An input whose first byte is 1 to 5 is the rest taken as ISO-8859-1 characters: the filtering
// reader reads them in ISO-8859-1, UTF-16LE, UTF-16BE, UTF-32LE or UTF-32BE, the other in UTF-8,
// so the conversion to UTF-8 in front of the filter is checked as well.
// Run it on its own for longer than the check script's share (-max_len=8192) after a change to
// the filter.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "xml/CXMLStreamReader.h"

namespace {

constexpr std::size_t kShortName = 6;

struct Event {
    char kind;  // 'S' start, 'E' end, 'T' text (adjacent pieces joined)
    unsigned int depth;
    std::u16string text;
};

class Recorder final : public CXMLStreamHandler {
public:
    void StartElement(const XMLCh* name, unsigned int depth) override {
        events.push_back({'S', depth, std::u16string(reinterpret_cast<const char16_t*>(name))});
    }
    void EndElement(unsigned int depth) override { events.push_back({'E', depth, {}}); }
    void Characters(const XMLCh* text, std::size_t length) override {
        if (events.empty() || events.back().kind != 'T') events.push_back({'T', 0, {}});
        events.back().text.append(reinterpret_cast<const char16_t*>(text), length);
    }
    std::vector<Event> events;
};

class Bytes final : public CXMLByteSource {
public:
    Bytes(const uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::size_t ReadSome(unsigned char* buffer, std::size_t size) override {
        const std::size_t n = std::min(size, m_size - m_at);
        std::copy(m_data + m_at, m_data + m_at + n, buffer);
        m_at += n;
        return n;
    }

private:
    const uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// The filtered name stands for the whole one: equal, or a start of it, '~' and 32 hex digits.
bool SameName(const std::u16string& filtered, const std::u16string& whole) {
    if (filtered == whole) return true;
    const std::size_t tilde = filtered.find(u'~');
    if (tilde == std::u16string::npos || filtered.size() != tilde + 33) return false;
    if (whole.compare(0, tilde, filtered, 0, tilde) != 0 || whole.size() <= tilde) return false;
    return std::all_of(filtered.begin() + tilde + 1, filtered.end(),
                       [](char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'); });
}

// "line L" of an error, or all of it when it names no place.
std::string Line(const std::string& error) {
    return error.compare(0, 5, "line ") == 0 ? error.substr(0, error.find(',')) : error;
}

// The bytes as ISO-8859-1 characters in form 1 (ISO-8859-1), 2 (UTF-16LE), 3 (UTF-16BE),
// 4 (UTF-32LE), 5 (UTF-32BE) or 0 (UTF-8), after a declaration naming the encoding.
std::string Encoded(const uint8_t* data, std::size_t size, int form) {
    static const char* const kNames[] = {"UTF-8", "ISO-8859-1", "UTF-16", "UTF-16", "UTF-32", "UTF-32"};
    const std::string text = std::string("<?xml version=\"1.0\" encoding=\"") + kNames[form] + "\"?>\n" +
                             std::string(reinterpret_cast<const char*>(data), size);
    std::string out = form == 2 ? "\xFF\xFE" : form == 3 ? "\xFE\xFF" : "";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (form == 0 && byte >= 0x80) {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        } else if (form >= 2) {
            // The character's byte first in little-endian forms, last in big-endian ones.
            const std::size_t width = form <= 3 ? 2 : 4;
            const bool little = form == 2 || form == 4;
            for (std::size_t i = 0; i < width; ++i) out += (little ? i == 0 : i == width - 1) ? c : '\0';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    XMLFuzzScratch();
    CXMLTokenFilter::Limits small;
    small.maxTokenBytes = 5;
    small.maxValueBytes = 4;
    small.maxNameBytes = kShortName;
    small.keptNames = 3;
    CXMLTokenFilter::Limits wide;
    wide.maxTokenBytes = wide.maxValueBytes = wide.maxNameBytes = wide.keptNames = 1u << 20;
    // Every attribute goes to the parser.
    wide.maxCheckedTagBytes = 0;

    CXMLStreamReader cutting({}, small);
    CXMLStreamReader whole({}, wide);
    Recorder cut;
    Recorder plain;
    std::string cutText;
    std::string plainText;
    if (size > 0 && data[0] >= 1 && data[0] <= 5) {
        cutText = Encoded(data + 1, size - 1, data[0]);
        plainText = Encoded(data + 1, size - 1, 0);
        data = nullptr;
    }
    Bytes cutBytes(data ? data : reinterpret_cast<const uint8_t*>(cutText.data()), data ? size : cutText.size());
    Bytes plainBytes(data ? data : reinterpret_cast<const uint8_t*>(plainText.data()), data ? size : plainText.size());
    const CXMLStreamReader::Result cutResult = cutting.Read(cutBytes, cut);
    const CXMLStreamReader::Result plainResult = whole.Read(plainBytes, plain);
    if (cutResult != plainResult) {
        std::fprintf(stderr, "filtered: %s\nwhole: %s\n", cutting.Error().c_str(), whole.Error().c_str());
    }
    FUZZ_ASSERT(cutResult == plainResult);
    if (cutResult == CXMLStreamReader::Result::Failed) {
        // Bytes that are not UTF-8 the parser reports where its read-ahead is, not where they
        // are, so the place moves with any change in the length of what came before.
        if (cutting.Error().find("byte") != std::string::npos || whole.Error().find("byte") != std::string::npos)
            return 0;
        if (Line(cutting.Error()) != Line(whole.Error()))
            std::fprintf(stderr, "filtered: %s\nwhole: %s\n", cutting.Error().c_str(), whole.Error().c_str());
        FUZZ_ASSERT(Line(cutting.Error()) == Line(whole.Error()));
        return 0;
    }
    FUZZ_ASSERT(cut.events.size() == plain.events.size());
    for (std::size_t i = 0; i < cut.events.size(); ++i) {
        const Event& a = cut.events[i];
        const Event& b = plain.events[i];
        FUZZ_ASSERT(a.kind == b.kind && a.depth == b.depth);
        FUZZ_ASSERT(a.kind == 'S' ? SameName(a.text, b.text) : a.text == b.text);
    }
    return 0;
}
