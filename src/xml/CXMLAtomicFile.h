#ifndef MAD_XML_CXMLATOMICFILE_H
#define MAD_XML_CXMLATOMICFILE_H

#include <cstddef>
#include <string>

// Replaces one file all at once. Bytes go to a uniquely named temporary file in the target's
// directory; Commit flushes it to disk and renames it over the target. Until Commit succeeds the
// target is untouched, and the destructor removes a temporary file that was not committed.
class CXMLAtomicFile final {
public:
    explicit CXMLAtomicFile(std::string target);
    ~CXMLAtomicFile();

    CXMLAtomicFile(const CXMLAtomicFile&) = delete;
    CXMLAtomicFile& operator=(const CXMLAtomicFile&) = delete;

    // Creates the temporary file (close-on-exec), with the target's permission bits when the
    // target exists, else those a new file would get. False when it cannot be created.
    bool Open();
    // Writes all bytes, retrying interrupted and short writes.
    bool Write(const void* data, std::size_t length);
    // Flushes, closes and renames over the target. False (temporary removed) on any failure.
    bool Commit();

private:
    void Discard();

    std::string m_target;
    std::string m_temporary;
    int m_fd = -1;
};

#endif
