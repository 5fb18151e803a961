#include "BenchData.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace bench_data {

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool WriteText(const std::string& path, const std::string& text) {
    FilePtr file(std::fopen(path.c_str(), "we"));
    if (!file) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    return std::fclose(file.release()) == 0 && written;
}

// Map content after the version record: objects with attributes, like a real map's body.
std::string MapBody(int bodyBytes) {
    std::string body;
    char line[160];
    for (int i = 0; static_cast<int>(body.size()) < bodyBytes; ++i) {
        std::snprintf(line, sizeof line,
                      "  <object id=\"object%d\" model=\"%d\" posX=\"%d.25\" posY=\"-%d.5\" "
                      "posZ=\"%d.125\" rotZ=\"%d\" />\n",
                      i, 1000 + i % 700, i * 3 % 3000, i * 7 % 3000, i % 40, i % 360);
        body += line;
    }
    return body;
}

// Writes head, then units of the shape until about bytes are written, then tail.
bool WriteShaped(const std::string& path, const std::string& head, Shape shape, long long bytes,
                 const std::string& tail) {
    FilePtr file(std::fopen(path.c_str(), "we"));
    if (!file) return false;
    constexpr int kDepth = 2000;
    constexpr int kManyNames = 150000;
    std::string unit;
    switch (shape) {
    case Shape::Siblings:
        for (int i = 0; i < 16384; ++i) unit += "<o/>";
        break;
    case Shape::Nesting:
        for (int i = 0; i < kDepth; ++i) unit += "<o>";
        for (int i = 0; i < kDepth; ++i) unit += "</o>";
        break;
    case Shape::Text:
    case Shape::Comment:
    case Shape::CData:
    case Shape::AttributeValue:
        unit.assign(65536, 'x');
        break;
    case Shape::ManyNames:
        for (int i = 0; i < kManyNames; ++i) unit += "<n" + std::to_string(i) + "/>";
        break;
    case Shape::Latin1Comment:
        for (int i = 0; i < 4096; ++i) unit += "caf\xe9 cr\xe8me \n";
        break;
    }
    static const struct {
        Shape shape;
        const char* open;
        const char* close;
    } wrappers[] = {{Shape::Text, "<text>", "</text>"},
                    {Shape::Comment, "<!--", "-->"},
                    {Shape::CData, "<text><![CDATA[", "]]></text>"},
                    {Shape::AttributeValue, "<text value=\"", "\"/>"},
                    {Shape::Latin1Comment, "<!--", "-->"}};
    std::string open =
        (shape == Shape::Latin1Comment ? "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n" : "") + head;
    std::string close = tail;
    for (const auto& wrapper : wrappers) {
        if (wrapper.shape == shape) {
            open += wrapper.open;
            close = wrapper.close + tail;
        }
    }
    bool written = std::fwrite(open.data(), 1, open.size(), file.get()) == open.size();
    for (long long done = static_cast<long long>(open.size()); written && done < bytes;
         done += static_cast<long long>(unit.size()))
        written = std::fwrite(unit.data(), 1, unit.size(), file.get()) == unit.size();
    written = written && std::fwrite(close.data(), 1, close.size(), file.get()) == close.size();
    return std::fclose(file.release()) == 0 && written;
}

}  // namespace

const char* ShapeName(Shape shape) {
    switch (shape) {
    case Shape::Siblings:
        return "siblings";
    case Shape::Nesting:
        return "deep nesting";
    case Shape::Text:
        return "long text";
    case Shape::Comment:
        return "long comment";
    case Shape::CData:
        return "long CDATA section";
    case Shape::AttributeValue:
        return "long attribute value";
    case Shape::ManyNames:
        return "150,000 element names";
    case Shape::Latin1Comment:
        return "long comment in ISO-8859-1";
    }
    return "";
}

bool WriteShapedMap(const std::string& path, Shape shape, long long bytes, unsigned int version) {
    return WriteShaped(path, "<map>\n  <meta>\n    <version>" + std::to_string(version) + "</version>\n  </meta>\n",
                       shape, bytes, "\n</map>\n");
}

bool WriteShapedFeed(const std::string& path, Shape shape, long long bytes) {
    return WriteShaped(path, std::string("<rss version=\"2.0\">\n<channel>\n  <time>") + kFeedTime + "</time>\n", shape,
                       bytes, "\n</channel>\n</rss>\n");
}

std::string Title(const std::string& prefix, int index) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%06d.map", prefix.c_str(), index);
    return name;
}

bool WriteRandomFile(const std::string& path, long long size) {
    FilePtr file(std::fopen(path.c_str(), "we"));
    if (!file) return false;
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (long long done = 0; done < size;) {
        for (uint64_t& word : block) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        const long long bytes = std::min<long long>(size - done, block.size() * sizeof(uint64_t));
        if (std::fwrite(block.data(), 1, static_cast<size_t>(bytes), file.get()) != static_cast<size_t>(bytes))
            return false;
        done += bytes;
    }
    return std::fclose(file.release()) == 0;
}

bool WriteMaps(const std::string& directory, const std::string& prefix, int count, int bodyBytes) {
    const std::string body = MapBody(bodyBytes);
    char head[160];
    for (int i = 0; i < count; ++i) {
        std::snprintf(head, sizeof head,
                      "<map edf:definition=\"bench\" xmlns:edf=\"urn:bench\">\n  <meta>\n"
                      "    <name>Map %d</name>\n    <version>%u</version>\n  </meta>\n",
                      i, kMapVersion);
        if (!WriteText(directory + "/" + Title(prefix, i), head + body + "</map>\n")) return false;
    }
    return true;
}

bool WriteFeed(const std::string& path, const std::string& prefix, int count, const std::string& baseUrl,
               unsigned int version, int distinct) {
    std::string feed = "<rss version=\"2.0\">\n<channel>\n  <title>Bench maps</title>\n  <time>";
    feed += kFeedTime;
    feed += "</time>\n";
    char item[512];
    for (int i = 0; i < count; ++i) {
        const std::string title = Title(prefix, distinct > 0 ? i % distinct : i);
        std::snprintf(item, sizeof item,
                      "  <item>\n    <title>%s</title>\n    <link>%s/%s</link>\n"
                      "    <version>%u</version>\n    <author>bench</author>\n"
                      "    <description>Map number %d</description>\n  </item>\n",
                      title.c_str(), baseUrl.c_str(), title.c_str(), version, i);
        feed += item;
    }
    feed += "</channel>\n</rss>\n";
    return WriteText(path, feed);
}

}  // namespace bench_data
