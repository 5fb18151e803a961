#ifndef MAD_APP_CFEEDREADER_H
#define MAD_APP_CFEEDREADER_H

#include <functional>
#include <string>

// Walks a stored feed with a streaming parse, in memory that does not grow with the feed: the
// root's first "channel", its first "time", and every "item" child of that channel in document
// order with the item's first "title", "link" and "version" (names in any letter case; text as
// the document layer reads it: every descendant's text). Each item goes to the caller as soon as
// it closes. The whole feed is first checked to be a well-formed document, so a feed cut off
// mid-way yields no item at all.
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

    // stopRequested, when set, is asked while reading; true ends the read (Result::Stopped).
    explicit CFeedReader(std::function<bool()> stopRequested = {});

    // Failed: not a well-formed document (Error()). NoChannel: the root has no channel child.
    // Ended: the handler ended the walk.
    Result Walk(const char* path, const ItemHandler& handler);

    // The channel's time text (cut to kTimeSize - 1 bytes); empty without one.
    const char* Time() const { return m_time; }
    const std::string& Error() const { return m_error; }

private:
    class Walker;

    std::function<bool()> m_stopRequested;
    char m_time[kTimeSize] = {};
    std::string m_error;
};

#endif
