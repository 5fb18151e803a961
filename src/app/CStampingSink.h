#ifndef MAD_APP_CSTAMPINGSINK_H
#define MAD_APP_CSTAMPINGSINK_H

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "http/CHTTPBodySink.h"
#include "xml/CMapVersionRecord.h"
#include "xml/CMapVersionStamp.h"

class CAtomicFile;

// Takes a map's body as it arrives and, meanwhile, has a parser on a thread of its own check that
// it is a well-formed document and writes it, its version record set, into the map's temporary
// file: a large map costs the slower of the network and the parser, not their sum.
//
// The bytes from the body's start are held in memory until the record is located and the parser
// has passed it and agrees (or there is none to set); from then on every byte goes straight to
// the file. A small body is thus held whole and parsed once it has all arrived, on the calling
// thread, and touches the disk only when it is kept. Held bytes that would pass kHoldBackLimit
// undecided go to the file unchanged with the rest (Spilled()), to be stamped by a copy once the
// body is known to be a map. Once the parser has failed, nothing more is written and the next
// Write refuses the rest of the body (Refused()): such a body is never kept, and is not read on.
// The map's file is created only when its first byte is written, so a small body that is held
// whole costs no file until it is kept, and one that is refused none at all.
class CStampingSink final : public CHTTPBodySink {
public:
    // Held bytes from which the parser runs beside the download.
    static constexpr std::size_t kParseAhead = 256u * 1024u;
    static constexpr std::size_t kHoldBackLimit = 4u * 1024u * 1024u;
    // Bytes waiting for the parser at most (one piece more may be added to a queue just below it).
    static constexpr std::size_t kQueueLimit = 1024u * 1024u;

    // map is borrowed and must outlive this object; it is opened (when not open yet) by the first
    // write. version is the one to record.
    CStampingSink(CAtomicFile& map, unsigned int version);
    // Ends the parser's input and waits for it.
    ~CStampingSink() override;
    CStampingSink(const CStampingSink&) = delete;
    CStampingSink& operator=(const CStampingSink&) = delete;

    bool Write(const void* data, std::size_t length) override;
    bool Restart() override;
    int Error() const override;
    std::string ErrorText() const override;

    // Once the whole body arrived: waits for the parser. True when the body is a well-formed
    // document; Record() then reads as CMapVersionRecord::Read of the body would.
    bool Finish();
    const CMapVersionRecord& Record() const { return m_record; }
    // After Finish, for a body that is kept and not Spilled(): writes out what is still held. False
    // on a write failure (the map's Error() names it).
    bool Complete();
    bool Spilled() const { return m_bSpilled; }
    // Whether a Write failed because the parser had refused the body; Finish then tells why.
    bool Refused() const { return m_bRefused; }
    // The record as set in the file (Located(), or why not: Reason()); meaningful after Complete.
    const CMapVersionStamp& Stamp() const { return m_stamp; }

private:
    class Queue;

    void StartParser();
    void StopParser();
    bool ParseFailed() const { return m_bParsed.load(std::memory_order_acquire) && !m_bParseOk; }
    // Writes the held bytes once it can: stamped when the record is decided and (when located)
    // agreed on, unchanged past the limit; whole: the body ended and the parser finished.
    bool Release(bool whole);
    // Opens the map's file before its first write; false (the map's Error() names why) when it
    // cannot be created.
    bool Opened();

    CAtomicFile& m_map;
    unsigned int m_uiVersion;
    std::string m_held;
    bool m_bReleased = false;
    bool m_bSpilled = false;
    bool m_bDecided = false;
    bool m_bRefused = false;
    // The held size at the last undecided look for the record: the next waits for twice as much.
    std::size_t m_scanned = 0;
    CMapVersionStamp m_stamp;
    CMapVersionRecord m_record;
    std::unique_ptr<Queue> m_queue;
    std::thread m_parser;
    // Written by the parser before it stores the flag each belongs to.
    bool m_bParseOk = false;
    bool m_bParsedMeta = false;
    bool m_bParsedVersion = false;
    std::atomic<bool> m_bSettled{false};
    std::atomic<bool> m_bParsed{false};
};

#endif
