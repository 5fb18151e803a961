#ifndef MAD_HTTP_CTEMPFILE_H
#define MAD_HTTP_CTEMPFILE_H

#include <string>

// A file being written beside its final destination under a unique hidden name. Commit
// renames it over the destination; until then the destination is untouched, and destruction
// without a commit deletes the temporary file. Owns its descriptor (close-on-exec).
class CTempFile {
public:
    explicit CTempFile(std::string destination);
    ~CTempFile();
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;

    // Creates the temporary file in the destination's directory; an existing destination
    // lends it its permission bits. False when it cannot be created.
    bool Open();
    // Writes all size bytes; false on any failure.
    bool Write(const void* data, size_t size);
    // Closes the file and renames it over the destination; false (file deleted) on failure.
    bool Commit();

private:
    void Discard();

    std::string m_destination;
    std::string m_path;
    int m_fd;
    bool m_committed;
};

#endif
