#include "app/CFeedReader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <xercesc/util/XMLString.hpp>

#include "xml/CXMLNodeImpl.h"
#include "xml/CXMLStreamReader.h"
#include "xml/CXMLTranscoder.h"
#include "xml/CXString.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {

// Each UTF-16 unit gives at least one byte of local text, and a pair at most four, so twice the
// buffer's size in units always yields the bytes the buffer keeps.
void Append(std::u16string& text, const XMLCh* chars, std::size_t length, std::size_t limit) {
    if (text.size() < limit) text.append(chars, std::min(length, limit - text.size()));
}

void CopyText(const std::u16string& text, char* buffer, unsigned int size) {
    CXMLTranscoder(text.c_str()).CopyTo(buffer, size);
}

// The layer's unsigned read of a text: strtol base 0, signed 32-bit range, not negative.
unsigned int UnsignedValue(const std::u16string& text) {
    CXMLTranscoder local(text.c_str());
    long number = 0;
    if (!CXMLNodeImpl::StringToLong(local.localForm(), number) || number < 0) return 0;
    return static_cast<unsigned int>(number);
}

}  // namespace

// Follows the elements at the depths the feed's rules name: root 1, channel 2, time and item 3,
// title/link/version 4; gathers text below the one element being read.
class CFeedReader::Walker final : public CXMLStreamHandler {
public:
    Walker(ItemHandler handler, char* time)
        : m_handler(std::move(handler)),
          m_time(time),
          m_channel("channel"),
          m_timeName("time"),
          m_itemName("item"),
          m_titleName("title"),
          m_linkName("link"),
          m_versionName("version") {}

    void StartElement(const XMLCh* name, unsigned int depth) override {
        if (depth == 2 && !bChannel && Is(name, m_channel)) {
            bChannel = true;
            m_bInChannel = true;
        } else if (depth == 3 && m_bInChannel) {
            if (!m_bTimeSeen && Is(name, m_timeName)) {
                m_bTimeSeen = true;
                Begin(Field::Time);
            } else if (Is(name, m_itemName)) {
                m_bInItem = true;
                m_bTitle = m_bLink = m_bVersion = false;
                m_title.clear();
                m_link.clear();
                m_version.clear();
            }
        } else if (depth == 4 && m_bInItem) {
            if (!m_bTitle && Is(name, m_titleName)) {
                m_bTitle = true;
                Begin(Field::Title);
            } else if (!m_bLink && Is(name, m_linkName)) {
                m_bLink = true;
                Begin(Field::Link);
            } else if (!m_bVersion && Is(name, m_versionName)) {
                m_bVersion = true;
                Begin(Field::Version);
            }
        }
    }

    void EndElement(unsigned int depth) override {
        if (depth == m_fieldDepth) {
            if (m_field == Field::Time) CopyText(m_timeText, m_time, kTimeSize);
            m_field = Field::None;
            m_fieldDepth = 0;
        }
        if (depth == 3 && m_bInItem) {
            m_bInItem = false;
            Item item;
            CopyText(m_title, item.title, sizeof item.title);
            CopyText(m_link, item.link, sizeof item.link);
            item.version = UnsignedValue(m_version);
            if (!m_handler(item)) bEnded = true;
        } else if (depth == 2 && m_bInChannel) {
            m_bInChannel = false;
        }
    }

    void Characters(const XMLCh* chars, std::size_t length) override {
        switch (m_field) {
        case Field::None:
            break;
        case Field::Time:
            Append(m_timeText, chars, length, 2 * kTimeSize);
            break;
        case Field::Title:
            Append(m_title, chars, length, 2 * kItemTextSize);
            break;
        case Field::Link:
            Append(m_link, chars, length, 2 * kItemTextSize);
            break;
        case Field::Version:
            // strtol skips leading white space however long it is; the rest is kept bounded.
            for (std::size_t i = 0; i < length && m_version.size() < kMaxNumberText; ++i) {
                const XMLCh c = chars[i];
                if (m_version.empty() && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) continue;
                m_version.push_back(c);
            }
            break;
        }
    }

    bool Finished() const override { return bEnded; }

    bool bChannel = false;
    bool bEnded = false;

private:
    enum class Field { None, Time, Title, Link, Version };
    static constexpr std::size_t kMaxNumberText = 4096;

    static bool Is(const XMLCh* name, const CXString& wanted) { return XMLString::compareIString(name, wanted) == 0; }

    void Begin(Field field) {
        m_field = field;
        m_fieldDepth = field == Field::Time ? 3 : 4;
    }

    ItemHandler m_handler;
    char* m_time;
    CXString m_channel, m_timeName, m_itemName, m_titleName, m_linkName, m_versionName;
    bool m_bInChannel = false;
    bool m_bTimeSeen = false;
    bool m_bInItem = false;
    bool m_bTitle = false, m_bLink = false, m_bVersion = false;
    Field m_field = Field::None;
    unsigned int m_fieldDepth = 0;
    std::u16string m_timeText, m_title, m_link, m_version;
};

CFeedReader::CFeedReader(std::function<bool()> stopRequested, std::size_t keepBytes)
    : m_stopRequested(std::move(stopRequested)), m_keepBytes(keepBytes) {}

namespace {

// The items of a feed in one flat buffer: per item its title and link, each ended by a zero
// byte, then its version's four bytes. About 60 bytes an item instead of a DOM's kilobytes.
class ItemStore final {
public:
    // Reserved at once, so the buffer never moves; only the pages used become resident.
    explicit ItemStore(std::size_t maxBytes) : m_maxBytes(maxBytes) { m_bytes.reserve(maxBytes); }

    // False once the store would pass its size; it is then emptied and takes nothing more.
    bool Add(const CFeedReader::Item& item) {
        if (m_bOverflow) return false;
        const std::size_t title = std::strlen(item.title);
        const std::size_t link = std::strlen(item.link);
        if (m_bytes.size() + title + link + 2 + sizeof item.version > m_maxBytes) {
            m_bOverflow = true;
            std::vector<char>().swap(m_bytes);
            return false;
        }
        m_bytes.insert(m_bytes.end(), item.title, item.title + title + 1);
        m_bytes.insert(m_bytes.end(), item.link, item.link + link + 1);
        const char* version = reinterpret_cast<const char*>(&item.version);
        m_bytes.insert(m_bytes.end(), version, version + sizeof item.version);
        return true;
    }
    bool Overflowed() const { return m_bOverflow; }

    // Hands every stored item to handler in order; false when the handler ended the walk.
    bool Replay(const CFeedReader::ItemHandler& handler) const {
        CFeedReader::Item item;
        for (std::size_t pos = 0; pos < m_bytes.size();) {
            pos = Take(pos, item.title);
            pos = Take(pos, item.link);
            std::memcpy(&item.version, m_bytes.data() + pos, sizeof item.version);
            pos += sizeof item.version;
            if (!handler(item)) return false;
        }
        return true;
    }

private:
    std::size_t Take(std::size_t pos, char (&text)[CFeedReader::kItemTextSize]) const {
        const std::size_t length = std::strlen(m_bytes.data() + pos);
        std::memcpy(text, m_bytes.data() + pos, length + 1);
        std::memset(text + length, 0, sizeof text - length);
        return pos + length + 1;
    }

    std::size_t m_maxBytes;
    std::vector<char> m_bytes;
    bool m_bOverflow = false;
};

}  // namespace

CFeedReader::Result CFeedReader::Walk(const char* path, const ItemHandler& handler) {
    std::memset(m_time, 0, sizeof m_time);
    m_error.clear();
    CXMLStreamReader reader(m_stopRequested);
    // The whole feed is read before any item is handed out, so no map is touched for a feed that
    // turns out broken. The items are kept meanwhile; a feed too large to keep is read again.
    ItemStore store(m_keepBytes);
    m_itemsTotal = 0;
    m_itemsHanded = 0;
    Walker collector(
        [this, &store](const Item& item) {
            store.Add(item);
            ++m_itemsTotal;
            return true;
        },
        m_time);
    const ItemHandler counted = [this, &handler](const Item& item) {
        ++m_itemsHanded;
        return handler(item);
    };
    CXMLStreamReader::Result result = reader.Read(path, collector);
    if (result == CXMLStreamReader::Result::Complete && !collector.bChannel) return Result::NoChannel;
    if (result == CXMLStreamReader::Result::Complete) {
        if (!store.Overflowed()) return store.Replay(counted) ? Result::Complete : Result::Ended;
        Walker walker(counted, m_time);
        result = reader.Read(path, walker);
        if (result == CXMLStreamReader::Result::Ended) return Result::Ended;
    }
    switch (result) {
    case CXMLStreamReader::Result::Complete:
        return Result::Complete;
    case CXMLStreamReader::Result::Stopped:
        return Result::Stopped;
    default:
        m_error = reader.Error();
        return Result::Failed;
    }
}
