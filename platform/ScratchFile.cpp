#include "platform/ScratchFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "OrvError.h"

namespace orv::platform {

void ScratchFile::create(const std::string& folder) {
    close();
    m_folder = folder.empty() ? "." : folder;
    m_fd = ::open(m_folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string name = m_folder + "/.orvter-scratch-XXXXXX";
        m_fd = ::mkstemp(name.data());
        if (m_fd >= 0) ::unlink(name.c_str());
    }
    if (m_fd < 0) throw FileError("create scratch data in", m_folder, errno);
    m_size = 0;
}

void ScratchFile::append(const void* data, size_t count) {
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t n = ::pwrite(m_fd, p, count, static_cast<off_t>(m_size));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw FileError("write scratch data in", m_folder, n < 0 ? errno : ENOSPC);
        p += n;
        count -= static_cast<size_t>(n);
        m_size += static_cast<uint64_t>(n);
    }
}

void ScratchFile::readAt(uint64_t offset, void* buffer, size_t count) const {
    char* p = static_cast<char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::pread(m_fd, p, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw FileError("read scratch data in", m_folder, n < 0 ? errno : EIO);
        p += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<size_t>(n);
    }
}

void ScratchFile::close() noexcept {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_size = 0;
}

}  // namespace orv::platform
