#include "app/CStampingSink.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "fs/CAtomicFile.h"
#include "xml/CXMLStreamReader.h"

namespace {

// Bytes already in memory, read from their start.
class HeldSource final : public CXMLByteSource {
public:
    explicit HeldSource(const std::string& bytes) : m_bytes(bytes) {}
    std::size_t ReadSome(unsigned char* buffer, std::size_t size) override {
        const std::size_t n = std::min(size, m_bytes.size() - m_pos);
        std::memcpy(buffer, m_bytes.data() + m_pos, n);
        m_pos += n;
        return n;
    }

private:
    const std::string& m_bytes;
    std::size_t m_pos = 0;
};

}  // namespace

// The bytes between the download and the parser's thread, bounded: the download waits while the
// parser is behind by the limit, unless the parser left.
class CStampingSink::Queue final : public CXMLByteSource {
public:
    explicit Queue(std::size_t limit) : m_limit(limit) {}

    void Push(const char* data, std::size_t length) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_room.wait(lock, [&] { return m_bLeft || m_size < m_limit; });
        if (m_bLeft) return;
        m_pieces.emplace_back(data, length);
        m_size += length;
        m_ready.notify_one();
    }
    // No more bytes come: the parser reads what is queued, then the end.
    void Close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bClosed = true;
        m_ready.notify_all();
    }
    // Nothing more is read: what is queued goes, and the parser sees the end at once.
    void Leave() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bLeft = true;
        m_pieces.clear();
        m_size = 0;
        m_room.notify_all();
        m_ready.notify_all();
    }

    std::size_t ReadSome(unsigned char* buffer, std::size_t size) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [&] { return m_bLeft || m_bClosed || !m_pieces.empty(); });
        if (m_bLeft || m_pieces.empty()) return 0;
        const std::string& front = m_pieces.front();
        const std::size_t n = std::min(size, front.size() - m_offset);
        std::memcpy(buffer, front.data() + m_offset, n);
        m_offset += n;
        m_size -= n;
        if (m_offset == front.size()) {
            m_pieces.pop_front();
            m_offset = 0;
        }
        m_room.notify_one();
        return n;
    }

private:
    std::size_t m_limit;
    std::mutex m_mutex;
    std::condition_variable m_room;
    std::condition_variable m_ready;
    std::deque<std::string> m_pieces;
    // Bytes of the front piece already read.
    std::size_t m_offset = 0;
    std::size_t m_size = 0;
    bool m_bClosed = false;
    bool m_bLeft = false;
};

CStampingSink::CStampingSink(CAtomicFile& map, unsigned int version) : m_map(map), m_uiVersion(version) {}

CStampingSink::~CStampingSink() { StopParser(); }

bool CStampingSink::Write(const void* data, std::size_t length) {
    // A body the parser refused is never kept, and the rest of it is not worth receiving: it may
    // never end.
    if (ParseFailed()) {
        std::string().swap(m_held);
        m_bRefused = true;
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    const bool parsing = m_parser.joinable();
    // The parser gets the bytes first, so it works while they are written.
    if (parsing) m_queue->Push(bytes, length);
    if (m_bReleased) return m_bSpilled ? m_map.Write(bytes, length) : m_stamp.Write(bytes, length, m_map);
    m_held.append(bytes, length);
    if (!parsing && m_held.size() >= kParseAhead) StartParser();
    return Release(false);
}

bool CStampingSink::Release(bool whole) {
    // Each look at the held bytes reads them from their start, so a record far down is looked
    // for again only once they doubled: all looks together read at most twice the limit.
    if (!m_bDecided && (whole || m_held.size() >= 2 * m_scanned)) {
        m_bDecided =
            m_stamp.Decide(m_held.data(), m_held.size(), whole, m_uiVersion) == CMapVersionStamp::Verdict::Decided;
        m_scanned = m_held.size();
    }
    bool ready = m_bDecided && !m_stamp.Located();
    if (m_bDecided && m_stamp.Located() && (whole || m_bSettled.load(std::memory_order_acquire))) {
        const bool meta = whole ? m_record.HasMeta() : m_bParsedMeta;
        const bool version = whole ? m_record.HasVersion() : m_bParsedVersion;
        // The scanner only finds positions; where it and the parser see the record differently,
        // the map is kept as it came.
        if (m_stamp.FoundMeta() != meta || m_stamp.FoundVersion() != version)
            m_stamp.Drop("version record not understood");
        ready = true;
    }
    if (!ready && m_held.size() <= kHoldBackLimit) return true;
    m_bReleased = true;
    m_bSpilled = !ready;
    bool written = Opened();
    if (written) {
        // The held bytes and the record set in them go in one write.
        m_map.Gather();
        const bool noted =
            m_bSpilled ? m_map.Write(m_held.data(), m_held.size()) : m_stamp.Write(m_held.data(), m_held.size(), m_map);
        written = m_map.Flush() && noted;
    }
    std::string().swap(m_held);
    return written;
}

bool CStampingSink::Opened() { return m_map.IsOpen() || m_map.Open(); }

bool CStampingSink::Restart() {
    StopParser();
    m_queue.reset();
    std::string().swap(m_held);
    m_bReleased = m_bSpilled = m_bDecided = m_bRefused = false;
    m_scanned = 0;
    m_stamp = CMapVersionStamp();
    m_record = CMapVersionRecord();
    m_bParseOk = m_bParsedMeta = m_bParsedVersion = false;
    m_bSettled.store(false);
    m_bParsed.store(false);
    // Nothing written yet: nothing to take back.
    return !m_map.IsOpen() || m_map.Truncate();
}

int CStampingSink::Error() const { return m_map.Error(); }

std::string CStampingSink::ErrorText() const { return m_map.ErrorText(); }

void CStampingSink::StartParser() {
    m_queue = std::make_unique<Queue>(kQueueLimit);
    m_queue->Push(m_held.data(), m_held.size());
    m_parser = std::thread([this] {
        m_bParseOk = m_record.Read(*m_queue, [this](bool meta, bool version) {
            m_bParsedMeta = meta;
            m_bParsedVersion = version;
            m_bSettled.store(true, std::memory_order_release);
        });
        // A parser that stopped early reads no more: the download must not wait for it.
        m_queue->Leave();
        m_bParsed.store(true, std::memory_order_release);
    });
}

void CStampingSink::StopParser() {
    if (!m_parser.joinable()) return;
    m_queue->Leave();
    m_parser.join();
}

bool CStampingSink::Finish() {
    if (m_parser.joinable()) {
        m_queue->Close();
        m_parser.join();
        return m_bParseOk;
    }
    HeldSource source(m_held);
    m_bParseOk = m_record.Read(source);
    m_bParsed.store(true);
    return m_bParseOk;
}

bool CStampingSink::Complete() {
    if (m_bReleased) return true;
    return Release(true);
}
