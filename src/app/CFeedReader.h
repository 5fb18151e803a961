#ifndef MAD_APP_CFEEDREADER_H
#define MAD_APP_CFEEDREADER_H

#include <cstddef>
#include <functional>
#include <string>

// Walks a stored feed with a streaming parse, in memory that does not grow with the feed: the
// root's first "channel", its first "time", and every "item" child of that channel in document
// order with the item's first "title", "link" and "version" (names in any letter case; text as
// the document layer reads it: every descendant's text). The whole feed is read and checked to be
// a well-formed document before the first item goes to the caller, so a feed cut off mid-way
// yields no item at all. Meanwhile the items are kept in a flat buffer (about 60 bytes an item)
// of at most keepBytes; a feed with more is read a second time and its items handed out as they
// close, so memory never grows with the feed.
class CFeedReader final {
public:
    // Buffer sizes in bytes, terminator included: longer texts are cut, as the layer's buffer
    // rule does.
    static constexpr unsigned int kItemTextSize = 256;
    static constexpr unsigned int kTimeSize = 50;

    struct Item {
        char title[kItemTextSize] = {};
        char link[kItemTextSize] = {};
        // The version as the layer's unsigned read gives it; 0 when missing or unreadable.
        unsigned int version = 0;
    };
    // Answers false to end the walk after this item.
    using ItemHandler = std::function<bool(const Item&)>;

    enum class Result { Complete, Failed, NoChannel, Ended, Stopped };

    // Enough for a feed of some 130,000 items to be read once.
    static constexpr std::size_t kDefaultKeepBytes = 8u * 1024u * 1024u;

    // stopRequested, when set, is asked while reading; true ends the read (Result::Stopped).
    explicit CFeedReader(std::function<bool()> stopRequested = {}, std::size_t keepBytes = kDefaultKeepBytes);

    // Failed: not a well-formed document (Error()). NoChannel: the root has no channel child.
    // Ended: the handler ended the walk.
    Result Walk(const char* path, const ItemHandler& handler);

    // While the handler runs: how many items follow the one it was handed.
    std::size_t ItemsAfter() const { return m_itemsTotal - m_itemsHanded; }
    // The channel's time text (cut to kTimeSize - 1 bytes); empty without one.
    const char* Time() const { return m_time; }
    const std::string& Error() const { return m_error; }

private:
    class Walker;

    std::function<bool()> m_stopRequested;
    std::size_t m_keepBytes;
    std::size_t m_itemsTotal = 0;
    std::size_t m_itemsHanded = 0;
    char m_time[kTimeSize] = {};
    std::string m_error;
};

#endif
