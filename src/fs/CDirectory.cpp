#include "fs/CDirectory.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

CDirectory::~CDirectory() { Close(); }

void CDirectory::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool CDirectory::Open(const std::string& path) {
    Close();
    m_error = 0;
    // O_DIRECTORY refuses anything else; a FIFO of that name is never opened, so this cannot block.
    do {
        m_fd = ::open(path.empty() ? "/" : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) m_error = errno;
    return m_fd >= 0;
}

void CDirectory::Sync() const {
    if (m_fd >= 0) ::fsync(m_fd);
}

std::string CDirectory::ErrorText() const { return std::strerror(m_error != 0 ? m_error : EIO); }
