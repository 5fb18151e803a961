#include "fs/CInputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

CInputFile::~CInputFile() { Close(); }

void CInputFile::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

std::string CInputFile::ErrorText() const { return std::strerror(m_error != 0 ? m_error : EIO); }

CInputFile::Status CInputFile::Fail(Status status, int error) {
    Close();
    m_error = error;
    return status;
}

CInputFile::Status CInputFile::Open(const std::string& path) { return Open(AT_FDCWD, path); }

CInputFile::Status CInputFile::Open(int directoryFd, const std::string& path) {
    Close();
    m_error = 0;
    // Looked at before opening: opening some devices has effects of its own.
    struct stat info {};
    if (::fstatat(directoryFd, path.c_str(), &info, 0) != 0) {
        const int error = errno;
        return Fail(error == ENOENT || error == ENOTDIR ? Status::Missing : Status::Unreadable, error);
    }
    if (!S_ISREG(info.st_mode)) return Fail(Status::NotRegular, 0);
    // Non-blocking, and looked at again through the descriptor: the name may have been replaced
    // by a FIFO in between.
    m_fd = ::openat(directoryFd, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0) {
        const int error = errno;
        return Fail(error == ENOENT ? Status::Missing : Status::Unreadable, error);
    }
    if (::fstat(m_fd, &info) != 0) return Fail(Status::Unreadable, errno);
    if (!S_ISREG(info.st_mode)) return Fail(Status::NotRegular, 0);
    return Status::Regular;
}

bool CInputFile::ReadAll(std::string& text, std::size_t limit) {
    if (m_fd < 0) return false;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            m_error = errno;
            return false;
        }
        if (got == 0) return true;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > limit) {
            m_error = EFBIG;
            return false;
        }
    }
}

CInputFile::Status CInputFile::Check(const std::string& path, int& error) { return Check(AT_FDCWD, path, error); }

CInputFile::Status CInputFile::Check(int directoryFd, const std::string& path, int& error) {
    // Asked of every map on every pass, so without opening anything: a look at the name and the
    // permission check that opening it would make.
    error = 0;
    struct stat info {};
    if (::fstatat(directoryFd, path.c_str(), &info, 0) != 0) {
        error = errno;
        return error == ENOENT || error == ENOTDIR ? Status::Missing : Status::Unreadable;
    }
    if (!S_ISREG(info.st_mode)) return Status::NotRegular;
    if (::faccessat(directoryFd, path.c_str(), R_OK, AT_EACCESS) != 0) {
        error = errno;
        return error == ENOENT ? Status::Missing : Status::Unreadable;
    }
    return Status::Regular;
}
