#ifndef MAD_APP_CORDEREDPRINTER_H
#define MAD_APP_CORDEREDPRINTER_H

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

#include "app/Utils.h"

// Releases console text in the order its entries were added, whatever order their results
// come in, so a pass that downloads maps side by side prints what one download after another
// would. An entry is either finished when added, or opened with a head and finished later with
// a tail. A head is printed as soon as every earlier entry has been printed in full; a tail as
// soon as its head is out and its result is known. A head is an Info text; a finished entry and a
// tail carry their own severity. Used by one thread only.
class COrderedPrinter {
public:
    using Sink = std::function<void(Severity severity, const std::string& text)>;

    // Production prints with PrintText.
    explicit COrderedPrinter(Sink sink = PrintText);

    // Adds a finished entry.
    void Add(std::string text, Severity severity);
    // Adds an entry whose result is still to come; the ticket names it for Finish.
    std::size_t Open(std::string head);
    // Completes the open entry of this ticket; an unknown or finished ticket is ignored.
    void Finish(std::size_t ticket, std::string tail, Severity severity);
    // True when everything added has been printed.
    bool Idle() const { return m_entries.empty(); }

private:
    struct Entry {
        std::string head;
        std::string tail;
        // An open entry's head starts a line: Info.
        Severity headSeverity = Severity::Info;
        Severity tailSeverity = Severity::Info;
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
