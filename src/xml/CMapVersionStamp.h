#ifndef MAD_XML_CMAPVERSIONSTAMP_H
#define MAD_XML_CMAPVERSIONSTAMP_H

#include <cstddef>
#include <cstdint>
#include <string>

class CAtomicFile;

// Sets the version record of a map (root > first "meta" > its first "version", names in any
// letter case) by rewriting only the record: every byte before and after it is copied as it
// is, so the map keeps its declaration, encoding, line ends, formatting, comments and attribute
// order. The new text is written in the document's own encoding (UTF-8, ASCII-compatible 8-bit
// encodings, UTF-16 in either byte order).
//
//  - <version>...</version>: its content (text, white space, comments, CDATA, references)
//    becomes the number.
//  - <version/>: becomes <version>N</version>.
//  - <meta>... without a version: <version>N</version> is added as meta's last child.
//  - <meta/>: becomes <meta><version>N</version></meta>.
// Stamping twice with the same version changes nothing. Markup inside comments, CDATA sections,
// processing instructions and attribute values is never taken for the record.
//
// The file must already have been checked to be a well-formed document (CMapVersionRecord);
// this class finds byte positions, it does not validate. Nothing is held but a read buffer.
class CMapVersionStamp final {
public:
    // Finds the record of the file at path for version. False, with Reason() set, when the
    // record cannot be taken: no meta element, an encoding this class cannot write, an XML 1.1
    // document, a record that an entity reference may produce, or the file cannot be read.
    bool Locate(const char* path, unsigned int version);
    // The same for a file already open for reading (borrowed): it is read from its first byte,
    // and must stay open until CopyTo, which reads it again from there.
    bool Locate(int fd, unsigned int version);
    // What Locate found, for checking against the parser's view of the same file.
    bool FoundMeta() const { return m_bMeta; }
    bool FoundVersion() const { return m_bVersion; }
    // Forgets the located record: CopyTo then copies the file unchanged.
    void Drop(const std::string& reason);

    // Writes the file Locate read into destination (already open), with the record set when
    // one was located and kept, unchanged otherwise. False, with Reason() set, on a read or
    // write error.
    bool CopyTo(CAtomicFile& destination);

    // For a body still arriving: Decide looks for the record in the bytes that came so far
    // (head, from the body's first byte; whole when that is all of it) and tells whether it
    // could; Write then writes the body, piece after piece from its first byte, with the record
    // set when one was located (and not dropped). Decide is asked again with more bytes as long
    // as it answers NeedMore; a Decided answer holds for any bytes that may follow.
    enum class Verdict { NeedMore, Decided };
    Verdict Decide(const void* head, std::size_t length, bool whole, unsigned int version);
    // False, with Reason() set, on a write error.
    bool Write(const void* data, std::size_t length, CAtomicFile& destination);

    bool Located() const { return m_bLocated; }
    const std::string& Reason() const { return m_reason; }

private:
    bool WriteFailed(const CAtomicFile& destination);

    bool Scan(int fd, unsigned int version);
    // Writes the bytes at offset of the document; inserted: the replacement is already written.
    bool WritePiece(const unsigned char* data, std::size_t length, uint64_t offset, bool& inserted,
                    CAtomicFile& destination);

    std::string m_path;
    // The borrowed file of Locate(int, ...); -1 when Locate was given a path.
    int m_fd = -1;
    bool m_bLocated = false;
    bool m_bMeta = false;
    bool m_bVersion = false;
    // Bytes [m_begin, m_end) of the file are replaced by m_replacement (already encoded).
    uint64_t m_begin = 0;
    uint64_t m_end = 0;
    std::string m_replacement;
    std::string m_reason;
    // Write's progress: bytes of the body passed, and whether the replacement went out.
    uint64_t m_written = 0;
    bool m_bInserted = false;
};

#endif
