#include "app/COrderedPrinter.h"

COrderedPrinter::COrderedPrinter(Sink sink) : m_sink(std::move(sink)) {}

void COrderedPrinter::Add(std::string text, Severity severity) {
    Entry entry;
    entry.head = std::move(text);
    entry.headSeverity = severity;
    entry.finished = true;
    m_entries.push_back(std::move(entry));
    Release();
}

std::size_t COrderedPrinter::Open(std::string head) {
    Entry entry;
    entry.head = std::move(head);
    m_entries.push_back(std::move(entry));
    const std::size_t ticket = m_uiFrontTicket + m_entries.size() - 1;
    Release();
    return ticket;
}

void COrderedPrinter::Finish(std::size_t ticket, std::string tail, Severity severity) {
    if (ticket < m_uiFrontTicket || ticket - m_uiFrontTicket >= m_entries.size()) return;
    Entry& entry = m_entries[ticket - m_uiFrontTicket];
    if (entry.finished) return;
    entry.tail = std::move(tail);
    entry.tailSeverity = severity;
    entry.finished = true;
    Release();
}

void COrderedPrinter::Release() {
    while (!m_entries.empty()) {
        Entry& front = m_entries.front();
        if (!front.headPrinted) {
            if (!front.head.empty()) m_sink(front.headSeverity, front.head);
            front.headPrinted = true;
        }
        if (!front.finished) return;
        if (!front.tail.empty()) m_sink(front.tailSeverity, front.tail);
        m_entries.pop_front();
        ++m_uiFrontTicket;
    }
}
