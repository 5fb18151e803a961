#include "http/CTempFile.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A name no other download of this or another process picks at the same moment; O_EXCL
// settles the rare collision.
std::string CandidateName(const std::string& directory, unsigned int attempt) {
    static std::atomic<unsigned long> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    char name[96];
    std::snprintf(name, sizeof name, "/.download-%ld-%lu-%llx-%u.part", static_cast<long>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned long long>(now), attempt);
    return directory + name;
}

}  // namespace

CTempFile::CTempFile(std::string destination) : m_destination(std::move(destination)), m_fd(-1), m_committed(false) {}

CTempFile::~CTempFile() {
    if (!m_committed) Discard();
}

bool CTempFile::Open() {
    const std::string directory = DirectoryOf(m_destination);
    for (unsigned int attempt = 0; attempt < 16 && m_fd < 0; ++attempt) {
        m_path = CandidateName(directory, attempt);
        m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd < 0 && errno != EEXIST && errno != EINTR) break;
    }
    if (m_fd < 0) {
        m_path.clear();
        return false;
    }
    // A replaced file keeps the permissions it had, as it would when overwritten in place.
    struct stat existing {};
    if (::stat(m_destination.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
        ::fchmod(m_fd, existing.st_mode & 07777) != 0) {
        Discard();
        return false;
    }
    return true;
}

bool CTempFile::Write(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(m_fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool CTempFile::Commit() {
    if (m_fd < 0) return false;
    const int fd = m_fd;
    m_fd = -1;
    // close reports delayed write errors (a full disk on NFS, for one); it is not retried on EINTR.
    if (::close(fd) != 0 || ::rename(m_path.c_str(), m_destination.c_str()) != 0) {
        Discard();
        return false;
    }
    m_committed = true;
    return true;
}

void CTempFile::Discard() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_path.empty()) {
        ::unlink(m_path.c_str());
        m_path.clear();
    }
}
