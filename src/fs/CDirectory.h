#ifndef MAD_FS_CDIRECTORY_H
#define MAD_FS_CDIRECTORY_H

#include <string>

// One directory held open by descriptor, so that a series of file operations (openat, renameat,
// unlinkat, fstatat relative to Fd()) all happen in the directory that was opened, whatever
// happens to its path meanwhile: a symbolic link pointed elsewhere or a directory renamed does
// not split the series between two places. Owns the descriptor (close-on-exec) and closes it on
// destruction. Fd() is -1 while nothing is open.
class CDirectory final {
public:
    CDirectory() = default;
    ~CDirectory();
    CDirectory(const CDirectory&) = delete;
    CDirectory& operator=(const CDirectory&) = delete;

    // Opens path (a link to a directory is followed once, now). False, with Error() set, when it
    // is not a directory or cannot be opened; whatever was open before is closed either way.
    bool Open(const std::string& path);
    void Close();
    // Flushes the directory's entries to disk so that renames done in it survive a power loss.
    // Only a hint: some file systems cannot sync a directory.
    void Sync() const;

    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    int Error() const { return m_error; }
    std::string ErrorText() const;

private:
    int m_fd = -1;
    int m_error = 0;
};

#endif
