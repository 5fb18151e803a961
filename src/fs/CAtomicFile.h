#ifndef MAD_FS_CATOMICFILE_H
#define MAD_FS_CATOMICFILE_H

#include <sys/types.h>
#include <sys/uio.h>
#include <cstddef>
#include <string>
#include <vector>

// Replaces one file all at once: bytes go to a temporary file beside the target, and Commit
// renames it over the target. The one way this program writes a file it keeps.
//
// Guarantees:
//  - Until Commit succeeds the target is untouched. A crash at any moment leaves the old target
//    or the new one, never a mix; at worst a temporary file remains, which RemoveLeftovers finds.
//  - Temporary files are named ".<target name>.mad-<8 random letters or digits>.part" in the
//    target's directory (hidden, and a pattern nothing else uses), created exclusively with
//    close-on-exec. A target name longer than 236 bytes is cut in it, so it fits 255 bytes.
//  - The replacement gets the permission bits, and as far as the process may give them the
//    owner and group, of the target it replaces; set-ID bits only stay with the owner or group
//    they were for. A new file gets 0666 less the umask, like any file the program creates.
//    SetMode before Open overrides both: the file gets exactly that mode, whatever it replaces
//    and whatever the umask (for files other programs read, like a metrics file).
//  - With Sync::Durable, Commit flushes the data to disk before the rename, so a power loss too
//    leaves the old or the new file, and the directory after it (where the file system can), so
//    once Commit returned it is the new one. Sync::Data flushes the data (and the size and
//    blocks it needs, not the times) before the rename, and only that: the caller syncs
//    the directory, once for many files, with SyncDirectory. Sync::Fast flushes nothing (for
//    state that is only a cache, or read back and thrown away).
//  - Given a directory descriptor, the target and the temporary file are named relative to it, and
//    every step (look, create, rename, remove, sync) happens in that one directory, whatever
//    happens to its path meanwhile: the temporary file is always removed from where it was made.
//  - On any failure, and on destruction without a commit, the temporary file is removed.
//  - Error() is the errno of the first failure; ErrorText() is the system's text for it.
class CAtomicFile final {
public:
    enum class Sync { Durable, Data, Fast };

    explicit CAtomicFile(std::string target, Sync sync = Sync::Durable);
    // target is relative to directoryFd, which is borrowed and must stay open while this object
    // lives (AT_FDCWD: the working directory, looked up by path at each step).
    CAtomicFile(int directoryFd, std::string target, Sync sync = Sync::Durable);
    ~CAtomicFile();
    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    // The permission bits of the file Commit puts in place; call before Open.
    void SetMode(mode_t mode) {
        m_mode = mode;
        m_bFixedMode = true;
    }
    // Creates the temporary file. False when it cannot be created.
    bool Open();
    // Writes all bytes, retrying interrupted and short writes. False on any failure (the
    // temporary file stays until Commit or destruction; Commit then fails).
    bool Write(const void* data, std::size_t length);
    // From Gather to Flush, Write only notes where the bytes are (they must stay valid and
    // unchanged until Flush), and Flush writes them all at once: a file made of a few pieces, as
    // a map and its version record, costs one system call, not one per piece. Flush answers
    // for every noted write, as Write would have; Commit flushes what is still noted.
    void Gather();
    bool Flush();
    // Empties the temporary file, to be written again from its start (a download tried again).
    // False on failure, or after an earlier write failed.
    bool Truncate();
    // Flushes, closes and renames over the target. False (temporary removed) on any failure.
    bool Commit();
    // Removes the temporary file now; the target stays as it was.
    void Discard();

    bool IsOpen() const { return m_fd >= 0; }
    // Bytes written since Open or the last Truncate (noted ones count once flushed).
    std::size_t Size() const { return m_size; }
    // The temporary file, open for reading too, so that what was written can be read back
    // (with pread, or after a seek) before Commit; -1 when not open. Still owned by this object.
    int Descriptor() const { return m_fd; }
    const std::string& Target() const { return m_target; }
    // Relative to the directory descriptor, like the target.
    const std::string& TemporaryPath() const { return m_temporary; }
    int Error() const { return m_error; }
    std::string ErrorText() const;

    // Flushes directory's entries to disk, so the renames done in it survive a power loss. Only a
    // hint: some file systems cannot sync a directory, and nothing can be undone then anyway.
    static void SyncDirectory(const std::string& directory);
    static void SyncDirectory(int directoryFd, const std::string& directory);
    // Whether a file name (no directory part) has the temporary-file pattern above.
    static bool IsTemporaryName(const char* fileName);
    // Removes the regular files of directory whose names have the pattern, left by a process
    // that was killed before it could commit or discard them. Nothing else is touched. Returns
    // how many were removed.
    static unsigned int RemoveLeftovers(const std::string& directory);

private:
    bool Fail(int error);
    // Writes the pieces, retrying interrupted and short writes.
    bool WriteAll(iovec* pieces, std::size_t count);
    void StartWriteback();

    int m_directoryFd;
    std::string m_target;
    Sync m_sync;
    std::string m_temporary;
    int m_fd = -1;
    int m_error = 0;
    std::size_t m_size = 0;     // bytes written so far
    std::size_t m_flushed = 0;  // bytes already handed to the disk
    bool m_bFailed = false;
    bool m_bGathering = false;
    std::vector<iovec> m_gathered;
    mode_t m_mode = 0;
    bool m_bFixedMode = false;
};

#endif
