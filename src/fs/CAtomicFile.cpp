#include "fs/CAtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const char kMarker[] = ".mad-";
const char kSuffix[] = ".part";
constexpr std::size_t kRandomLength = 8;
const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::size_t kAlphabetSize = sizeof(kAlphabet) - 1;

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Random letters and digits; getrandom is the source, a mixed counter the fallback when the
// kernel refuses it. O_EXCL settles any collision either way.
std::string RandomPart() {
    unsigned char bytes[kRandomLength] = {};
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        static std::atomic<unsigned long long> counter{0};
        unsigned long long seed =
            static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
            (static_cast<unsigned long long>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
        for (unsigned char& byte : bytes) {
            seed ^= seed >> 33;
            seed *= 0xFF51AFD7ED558CCDull;
            byte = static_cast<unsigned char>(seed >> 56);
        }
    }
    std::string out;
    for (unsigned char byte : bytes) out.push_back(kAlphabet[byte % kAlphabetSize]);
    return out;
}

// A file name's limit on Linux file systems, and what the pattern adds to the target's name.
constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kPatternLength = 1 + sizeof(kMarker) - 1 + kRandomLength + sizeof(kSuffix) - 1;

// Gives the new file fd the owner, group and permission bits of the file it replaces, as an
// overwrite in place would: the owner and group as far as this process may give them (all of
// them as root), the set-ID bits only where the owner or group they were for is kept. 0 or errno.
int TakeOverOwnership(int fd, const struct stat& existing) {
    if (::fchown(fd, existing.st_uid, existing.st_gid) != 0) ::fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
    mode_t mode = existing.st_mode & 01777;
    struct stat created {};
    if (::fstat(fd, &created) == 0) {
        if (created.st_uid == existing.st_uid) mode |= existing.st_mode & S_ISUID;
        if (created.st_gid == existing.st_gid) mode |= existing.st_mode & S_ISGID;
    }
    return ::fchmod(fd, mode) == 0 ? 0 : errno;
}

bool EndsWith(const char* text, std::size_t length, const char* suffix) {
    const std::size_t suffixLength = std::strlen(suffix);
    return length >= suffixLength && std::memcmp(text + length - suffixLength, suffix, suffixLength) == 0;
}

}  // namespace

CAtomicFile::CAtomicFile(std::string target, Sync sync) : CAtomicFile(AT_FDCWD, std::move(target), sync) {}

CAtomicFile::CAtomicFile(int directoryFd, std::string target, Sync sync)
    : m_directoryFd(directoryFd), m_target(std::move(target)), m_sync(sync) {}

CAtomicFile::~CAtomicFile() { Discard(); }

std::string CAtomicFile::ErrorText() const { return std::strerror(m_error != 0 ? m_error : EIO); }

bool CAtomicFile::Fail(int error) {
    if (!m_bFailed) {
        m_error = error != 0 ? error : EIO;
        m_bFailed = true;
    }
    return false;
}

void CAtomicFile::Discard() {
    m_bGathering = false;
    m_gathered.clear();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temporary.empty()) {
        ::unlinkat(m_directoryFd, m_temporary.c_str(), 0);
        m_temporary.clear();
    }
}

bool CAtomicFile::Open() {
    Discard();
    m_error = 0;
    m_bFailed = false;
    if (m_target.empty()) return Fail(ENOENT);
    // A long name is cut so that the temporary one still fits the limit; the pattern still holds.
    const std::size_t slash = m_target.rfind('/');
    const std::string prefix = (slash == std::string::npos ? std::string() : DirectoryOf(m_target) + "/") + "." +
                               BaseNameOf(m_target).substr(0, kMaxNameLength - kPatternLength) + kMarker;
    // The replacement keeps the owner and permissions of the file it replaces, as an overwrite
    // in place would; it is private until it has them. A new file gets its mode from the kernel,
    // umask applied: reading the umask would mean setting it, and threads would race on that.
    struct stat existing {};
    const bool replaces = ::fstatat(m_directoryFd, m_target.c_str(), &existing, 0) == 0 && S_ISREG(existing.st_mode);
    int error = 0;
    for (int attempt = 0; attempt < 16 && m_fd < 0; ++attempt) {
        const std::string candidate = prefix + RandomPart() + kSuffix;
        m_fd = ::openat(m_directoryFd, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                        replaces || m_bFixedMode ? 0600 : 0666);
        if (m_fd >= 0) {
            m_temporary = candidate;
            break;
        }
        error = errno;
        if (error != EEXIST && error != EINTR) break;
    }
    if (m_fd < 0) return Fail(error);
    int ownershipError = 0;
    if (m_bFixedMode)
        ownershipError = ::fchmod(m_fd, m_mode) == 0 ? 0 : errno;
    else if (replaces)
        ownershipError = TakeOverOwnership(m_fd, existing);
    if (ownershipError != 0) {
        Discard();
        return Fail(ownershipError);
    }
    return true;
}

bool CAtomicFile::Write(const void* data, std::size_t length) {
    if (m_fd < 0 || m_bFailed) return Fail(m_fd < 0 ? EBADF : m_error);
    if (length == 0) return true;
    iovec piece{const_cast<void*>(data), length};
    if (m_bGathering) {
        m_gathered.push_back(piece);
        return true;
    }
    return WriteAll(&piece, 1);
}

void CAtomicFile::Gather() { m_bGathering = true; }

bool CAtomicFile::Flush() {
    m_bGathering = false;
    std::vector<iovec> pieces;
    pieces.swap(m_gathered);
    if (m_fd < 0 || m_bFailed) return Fail(m_fd < 0 ? EBADF : m_error);
    return WriteAll(pieces.data(), pieces.size());
}

bool CAtomicFile::WriteAll(iovec* pieces, std::size_t count) {
    std::size_t first = 0;
    while (first < count) {
        const int now = static_cast<int>(std::min<std::size_t>(count - first, IOV_MAX));
        const ssize_t written = ::writev(m_fd, pieces + first, now);
        if (written < 0 && errno == EINTR) continue;
        // A write of 0 bytes for a non-zero length means no room, as a full disk does.
        if (written <= 0) return Fail(written < 0 ? errno : ENOSPC);
        m_size += static_cast<std::size_t>(written);
        // Past the pieces written whole, into the one written in part.
        for (std::size_t left = static_cast<std::size_t>(written); left > 0;) {
            iovec& piece = pieces[first];
            const std::size_t taken = std::min(left, piece.iov_len);
            piece.iov_base = static_cast<char*>(piece.iov_base) + taken;
            piece.iov_len -= taken;
            left -= taken;
            if (piece.iov_len == 0) ++first;
        }
    }
    StartWriteback();
    return true;
}

bool CAtomicFile::Truncate() {
    m_gathered.clear();
    if (m_fd < 0 || m_bFailed) return Fail(m_fd < 0 ? EBADF : m_error);
    if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0) return Fail(errno);
    m_size = 0;
    m_flushed = 0;
    return true;
}

void CAtomicFile::StartWriteback() {
    // A file that Commit flushes anyway: handing each few MiB to the disk as they come
    // lets that flush overlap a slow download instead of following it. Only a hint, so a
    // failure here is not one (Commit's fsync reports real ones).
    constexpr std::size_t kWritebackStep = 8u * 1024 * 1024;
    if (m_sync == Sync::Fast || m_size - m_flushed < kWritebackStep) return;
    ::sync_file_range(m_fd, static_cast<off_t>(m_flushed), static_cast<off_t>(m_size - m_flushed),
                      SYNC_FILE_RANGE_WRITE);
    m_flushed = m_size;
}

bool CAtomicFile::Commit() {
    if (m_bGathering || !m_gathered.empty()) Flush();
    if (m_fd < 0 || m_bFailed) {
        const int error = m_fd < 0 ? EBADF : m_error;
        Discard();
        return Fail(error);
    }
    int result = 0;
    if (m_sync != Sync::Fast) {
        do {
            result = m_sync == Sync::Data ? ::fdatasync(m_fd) : ::fsync(m_fd);
        } while (result != 0 && errno == EINTR);
    }
    int error = result != 0 ? errno : 0;
    const int fd = m_fd;
    m_fd = -1;
    // close reports delayed write errors (NFS, quotas); it is not retried on EINTR, since on Linux
    // the descriptor is gone either way.
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::renameat(m_directoryFd, m_temporary.c_str(), m_directoryFd, m_target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        Discard();
        return Fail(error);
    }
    m_temporary.clear();
    if (m_sync == Sync::Durable) SyncDirectory(m_directoryFd, DirectoryOf(m_target));
    return true;
}

void CAtomicFile::SyncDirectory(const std::string& directory) { SyncDirectory(AT_FDCWD, directory); }

void CAtomicFile::SyncDirectory(int directoryFd, const std::string& directory) {
    if (directoryFd != AT_FDCWD && (directory.empty() || directory == ".")) {
        ::fsync(directoryFd);
        return;
    }
    const int fd =
        ::openat(directoryFd, directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool CAtomicFile::IsTemporaryName(const char* fileName) {
    if (fileName == nullptr || fileName[0] != '.') return false;
    const std::size_t length = std::strlen(fileName);
    const std::size_t markerLength = sizeof(kMarker) - 1;
    const std::size_t suffixLength = sizeof(kSuffix) - 1;
    // "." + at least one character of the name + marker + random + suffix.
    if (length < 2 + markerLength + kRandomLength + suffixLength || !EndsWith(fileName, length, kSuffix)) return false;
    const char* random = fileName + length - suffixLength - kRandomLength;
    for (std::size_t i = 0; i < kRandomLength; ++i) {
        if (std::strchr(kAlphabet, random[i]) == nullptr || random[i] == '\0') return false;
    }
    return std::memcmp(random - markerLength, kMarker, markerLength) == 0;
}

unsigned int CAtomicFile::RemoveLeftovers(const std::string& directory) {
    DIR* listing = ::opendir(directory.empty() ? "." : directory.c_str());
    if (listing == nullptr) return 0;
    const int directoryFd = ::dirfd(listing);
    unsigned int removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (!IsTemporaryName(entry->d_name)) continue;
        struct stat info {};
        // Only regular files: a directory or a link of that name is not ours.
        if (::fstatat(directoryFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
        if (::unlinkat(directoryFd, entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(listing);
    return removed;
}
