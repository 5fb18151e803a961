// The streaming version read and the stamp over arbitrary files: nothing crashes; a stamped map
// is still a well-formed document that reads back the version it was given; stamping it again
// with the same version changes no byte; a map whose record cannot be taken is copied unchanged;
// a body stamped while it arrives, in pieces, is checked and stamped as the same file is.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "app/CStampingSink.h"
#include "fs/CAtomicFile.h"
#include "xml/CMapVersionRecord.h"
#include "xml/CMapVersionStamp.h"

namespace {

// Stamps from into to as the downloader does; false when from is not a document or the stamp's
// view of the record disagrees with the parser's (the downloader then keeps the map unstamped).
bool Stamp(const std::string& from, const std::string& to, unsigned int version, bool& located) {
    CMapVersionRecord record;
    if (!record.Read(from.c_str())) return false;
    CMapVersionStamp stamp;
    if (stamp.Locate(from.c_str(), version) &&
        (stamp.FoundMeta() != record.HasMeta() || stamp.FoundVersion() != record.HasVersion()))
        stamp.Drop("version record not understood");
    CAtomicFile out(to, CAtomicFile::Sync::Fast);
    FUZZ_ASSERT(out.Open() && stamp.CopyTo(out) && out.Commit());
    located = stamp.Located();
    return true;
}

// Stamps body into to as a download does, in pieces of the given size; false when the body is
// not a document.
bool StampWhileArriving(const uint8_t* body, size_t size, size_t piece, const std::string& to, unsigned int version,
                        bool& located) {
    CAtomicFile out(to, CAtomicFile::Sync::Fast);
    FUZZ_ASSERT(out.Open());
    CStampingSink sink(out, version);
    for (size_t at = 0; at < size; at += piece) {
        if (sink.Write(body + at, std::min(piece, size - at))) continue;
        // Only a body the parser refused is cut short.
        FUZZ_ASSERT(sink.Refused());
        break;
    }
    if (!sink.Finish()) return false;
    FUZZ_ASSERT(!sink.Spilled() && sink.Complete() && out.Commit());
    located = sink.Stamp().Located();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first bytes choose the version (a feed's versions are 0 to 2147483647), the rest is
    // the map.
    if (size < 2) return 0;
    const unsigned int version = ((static_cast<unsigned int>(data[0]) << 8 | data[1]) * 40009u) % 2147483648u;
    const std::string map = XMLFuzzScratch().File("map.xml");
    const std::string once = XMLFuzzScratch().File("once.xml");
    const std::string twice = XMLFuzzScratch().File("twice.xml");
    WriteBytes(map, data + 2, size - 2);

    bool located = false;
    const bool document = Stamp(map, once, version, located);
    bool streamedLocated = false;
    const std::string streamed = XMLFuzzScratch().File("streamed.xml");
    FUZZ_ASSERT(StampWhileArriving(data + 2, size - 2, 1 + data[1] % 61, streamed, version, streamedLocated) ==
                document);
    if (!document) return 0;
    const std::string stamped = ReadBytes(once);
    FUZZ_ASSERT(streamedLocated == located && ReadBytes(streamed) == stamped);
    if (!located) {
        FUZZ_ASSERT(stamped == ReadBytes(map));
        return 0;
    }
    CMapVersionRecord reread;
    FUZZ_ASSERT(reread.Read(once.c_str()));
    FUZZ_ASSERT(reread.HasVersion());
    FUZZ_ASSERT(reread.Version() == static_cast<int>(version));

    bool again = false;
    FUZZ_ASSERT(Stamp(once, twice, version, again));
    FUZZ_ASSERT(again);
    FUZZ_ASSERT(ReadBytes(twice) == stamped);
    return 0;
}
