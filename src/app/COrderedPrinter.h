#ifndef MAD_APP_CORDEREDPRINTER_H
#define MAD_APP_CORDEREDPRINTER_H

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

// Releases console text in the order its entries were added, whatever order their results
// come in, so a pass that downloads maps side by side prints what one download after another
// would. An entry is either finished when added, or opened with a head and finished later with
// a tail. A head is printed as soon as every earlier entry has been printed in full; a tail as
// soon as its head is out and its result is known. Used by one thread only.
class COrderedPrinter {
public:
    using Sink = std::function<void(const std::string& text)>;

    // Production prints with PrintMessage.
    explicit COrderedPrinter(Sink sink = Console);

    // Adds a finished entry.
    void Add(std::string text);
    // Adds an entry whose result is still to come; the ticket names it for Finish.
    std::size_t Open(std::string head);
    // Completes the open entry of this ticket; an unknown or finished ticket is ignored.
    void Finish(std::size_t ticket, std::string tail);
    // True when everything added has been printed.
    bool Idle() const { return m_entries.empty(); }

    static void Console(const std::string& text);

private:
    struct Entry {
        std::string head;
        std::string tail;
        bool headPrinted = false;
        bool finished = false;
    };

    void Release();

    Sink m_sink;
    // Entries not yet printed in full; the front one has ticket m_uiFrontTicket.
    std::deque<Entry> m_entries;
    std::size_t m_uiFrontTicket = 0;
};

#endif
