#include "xml/CXMLAtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CXMLAtomicFile::CXMLAtomicFile(std::string target) : m_target(std::move(target)) {}

CXMLAtomicFile::~CXMLAtomicFile() {
    Discard();
}

void CXMLAtomicFile::Discard() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temporary.empty()) {
        ::unlink(m_temporary.c_str());
        m_temporary.clear();
    }
}

static mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool CXMLAtomicFile::Open() {
    Discard();
    if (m_target.empty())
        return false;
    std::string pattern = m_target + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    m_fd = fd;
    m_temporary = name.data();
    struct stat existing;
    const mode_t mode = ::stat(m_target.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : NewFileMode();
    if (::fchmod(m_fd, mode) != 0) {
        Discard();
        return false;
    }
    return true;
}

bool CXMLAtomicFile::Write(const void* data, std::size_t length) {
    if (m_fd < 0)
        return false;
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = ::write(m_fd, next, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        next += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

bool CXMLAtomicFile::Commit() {
    if (m_fd < 0)
        return false;
    int result;
    do {
        result = ::fsync(m_fd);
    } while (result != 0 && errno == EINTR);
    const int fd = m_fd;
    m_fd = -1;
    // close() is not retried: on Linux the descriptor is gone even when it reports EINTR.
    if (::close(fd) != 0 || result != 0 || std::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
        Discard();
        return false;
    }
    m_temporary.clear();
    return true;
}
