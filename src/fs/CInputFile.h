#ifndef MAD_FS_CINPUTFILE_H
#define MAD_FS_CINPUTFILE_H

#include <cstddef>
#include <string>

// Opens an existing file for reading without ever blocking. The path is looked at first and only
// a regular file (a symbolic link to one is followed) is opened, non-blocking, and looked at again
// through the descriptor: a FIFO, socket, device or directory of that name is never read. The
// object owns the descriptor and closes it on destruction.
class CInputFile final {
public:
    enum class Status { Regular, Missing, NotRegular, Unreadable };

    CInputFile() = default;
    ~CInputFile();
    CInputFile(const CInputFile&) = delete;
    CInputFile& operator=(const CInputFile&) = delete;

    // Regular with the file open; otherwise nothing is open and Error() tells why (for Missing
    // and Unreadable the system's errno, for NotRegular 0).
    Status Open(const std::string& path);
    // The same for name relative to the open directory directoryFd (borrowed; AT_FDCWD for the
    // working directory).
    Status Open(int directoryFd, const std::string& name);
    // Reads the whole file into text, retrying interrupted reads. False on a read error or when
    // the file holds more than limit bytes.
    bool ReadAll(std::string& text, std::size_t limit);
    void Close();

    // What Open would say of path, found without opening it (a name swapped for a FIFO right
    // after the check is still caught by Open).
    static Status Check(const std::string& path, int& error);
    static Status Check(int directoryFd, const std::string& name, int& error);

    // The open file, still owned by this object; -1 when nothing is open.
    int Descriptor() const { return m_fd; }

    int Error() const { return m_error; }
    std::string ErrorText() const;

private:
    Status Fail(Status status, int error);

    int m_fd = -1;
    int m_error = 0;
};

#endif
