#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "OrvError.h"
#include "platform/Files.h"

namespace orv::platform {

bool InputFile::open(const char* path) {
    close();
    if (!path) return false;
    do {
        m_fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) return false;
    struct stat st;
    if (::fstat(m_fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // a folder opens, but holds no bytes
        close();
        return false;
    }
    return true;
}

void InputFile::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

uint64_t InputFile::size() const {
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || st.st_size < 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

size_t InputFile::read(void* buffer, size_t count) {
    if (m_fd < 0) return 0;
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::read(m_fd, out + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool InputFile::seek(uint64_t offset) {
    if (m_fd < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool MappedFile::map(const char* path, uint64_t maxBytes) {
    unmap();
    if (!path) return false;
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        ::close(fd);
        return false;
    }
    m_fileSize = static_cast<uint64_t>(st.st_size);
    uint64_t length = m_fileSize < maxBytes ? m_fileSize : maxBytes;
    if (length == 0 || length > SIZE_MAX) {
        ::close(fd);
        return false;
    }
    void* view = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);  // the mapping keeps the file's pages reachable on its own
    if (view == MAP_FAILED) return false;
    m_data = static_cast<const uint8_t*>(view);
    m_size = static_cast<size_t>(length);
    return true;
}

void MappedFile::unmap() {
    if (m_data) ::munmap(const_cast<uint8_t*>(m_data), m_size);
    m_data = nullptr;
    m_size = 0;
    m_fileSize = 0;
}

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::discard() noexcept {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void OutputFile::create(const char* path) {
    if (m_fd >= 0) close();
    m_path = path ? path : "";
    if (!path) throw FileError("create", m_path, EINVAL);
    do {
        m_fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) throw FileError("create", m_path, errno);
}

void OutputFile::write(const void* data, size_t count) {
    if (m_fd < 0) throw FileError("write", m_path, EBADF);
    const auto* in = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t n = ::write(m_fd, in, count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError("write", m_path, errno);
        if (n == 0) throw FileError("write", m_path, EIO);
        in += n;
        count -= static_cast<size_t>(n);
    }
}

void OutputFile::seekToStart() {
    if (m_fd < 0) throw FileError("seek", m_path, EBADF);
    if (::lseek(m_fd, 0, SEEK_SET) < 0) throw FileError("seek", m_path, errno);
}

void OutputFile::close() {
    if (m_fd < 0) return;
    int fd = m_fd;
    m_fd = -1;
    // A failed close can be the first report of a failed write (network or full file systems).
    if (::close(fd) != 0 && errno != EINTR) throw FileError("close", m_path, errno);
}

}  // namespace orv::platform
