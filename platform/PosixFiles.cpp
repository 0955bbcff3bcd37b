#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "OrvCleanup.h"
#include "OrvError.h"
#include "platform/FaultInjection.h"
#include "platform/Files.h"

namespace orv::platform {

// Every system call of the file layer goes through one of these, so that the fault switch can
// stand in for the kernel's refusal.
namespace {

using detail::injectFault;
using testing::Operation;

int sysOpen(const char* path, int flags, mode_t mode = 0) {
    if (injectFault(Operation::Open)) return -1;
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int sysFstat(int fd, struct stat* st) {
    if (injectFault(Operation::Stat)) return -1;
    return ::fstat(fd, st);
}

int sysStat(const char* path, struct stat* st) {
    if (injectFault(Operation::Stat)) return -1;
    return ::stat(path, st);
}

ssize_t sysRead(int fd, void* buffer, size_t count) {
    if (injectFault(Operation::Read)) return -1;
    return ::read(fd, buffer, count);
}

ssize_t sysWrite(int fd, const void* data, size_t count) {
    if (injectFault(Operation::Write)) return -1;
    return ::write(fd, data, count);
}

off_t sysSeek(int fd, off_t offset) {
    if (injectFault(Operation::Seek)) return -1;
    return ::lseek(fd, offset, SEEK_SET);
}

// The descriptor is gone afterwards whatever the result, as with the kernel's close.
int sysClose(int fd) {
    const int r = ::close(fd);
    if (injectFault(Operation::Close)) return -1;
    return r;
}

int sysRename(const char* from, const char* to) {
    if (injectFault(Operation::Rename)) return -1;
    return ::rename(from, to);
}

// Gives the unnamed file open at `fd` the name `to`. Through /proc first: a link by descriptor
// (AT_EMPTY_PATH) needs a privilege ordinary users lack.
int sysLinkUnnamed(int fd, const char* to) {
    if (injectFault(Operation::Rename)) return -1;
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, self, AT_FDCWD, to, AT_SYMLINK_FOLLOW) == 0) return 0;
    const int error = errno;
    if (::linkat(fd, "", AT_FDCWD, to, AT_EMPTY_PATH) == 0) return 0;
    errno = error;
    return -1;
}

int sysReserve(int fd, uint64_t bytes) {
    if (injectFault(Operation::Reserve)) return -1;
    if (bytes > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        errno = EFBIG;
        return -1;
    }
    // Room past the end, not length: the file keeps the length its writes give it. Never
    // posix_fallocate, which writes zeros where the file system cannot reserve.
    return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
}

// Starts writing out `count` bytes from `offset` without waiting for them.
int sysWriteBehind(int fd, uint64_t offset, uint64_t count) {
    if (injectFault(Operation::WriteBehind)) return -1;
    return ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(count),
                             SYNC_FILE_RANGE_WRITE);
}

// Gives back room reserved past `length`, the file's length.
int sysRelease(int fd, uint64_t length) {
    if (injectFault(Operation::Reserve)) return -1;
    return ::ftruncate(fd, static_cast<off_t>(length));
}

}  // namespace

bool InputFile::open(const char* path) {
    close();
    if (!path) return false;
    m_fd = sysOpen(path, O_RDONLY);
    if (m_fd < 0) return false;
    struct stat st;
    if (sysFstat(m_fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // a folder opens, but holds no bytes
        close();
        return false;
    }
    m_regular = S_ISREG(st.st_mode);
    m_readFailed = false;
    m_position = 0;
    return true;
}

void InputFile::close() {
    if (m_fd >= 0) sysClose(m_fd);  // nothing was written: a failed close loses nothing
    m_fd = -1;
}

uint64_t InputFile::size() const {
    struct stat st;
    if (m_fd < 0 || sysFstat(m_fd, &st) != 0 || st.st_size < 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

size_t InputFile::read(void* buffer, size_t count) {
    if (m_fd < 0) return 0;
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = sysRead(m_fd, out + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) m_readFailed = true;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const uint64_t start = m_position;
    m_position += done;
    if (done == 0 || !m_regular) return done;
    // A read racing a truncation can copy the zeroed tail of a page past the new end. The kernel
    // lowers the length before it zeroes, so bytes beyond the length seen now are not the file's.
    // fstat of an open descriptor cannot fail here; should it, the read stands as the kernel gave
    // it.
    struct stat st;
    if (::fstat(m_fd, &st) != 0) return done;
    const uint64_t length = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (length >= m_position) return done;
    const size_t kept = length > start ? static_cast<size_t>(length - start) : 0;
    m_position = start + kept;
    if (sysSeek(m_fd, static_cast<off_t>(m_position)) < 0) m_readFailed = true;
    return kept;
}

size_t InputFile::readAt(uint64_t offset, void* buffer, size_t count) const {
    if (m_fd < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return 0;
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count && offset + done <= static_cast<uint64_t>(INT64_MAX)) {
        if (injectFault(Operation::Read)) break;
        ssize_t n = ::pread(m_fd, out + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

void InputFile::willNeed(uint64_t offset, uint64_t count) const {
    if (m_fd < 0 || offset > static_cast<uint64_t>(INT64_MAX) ||
        count > static_cast<uint64_t>(INT64_MAX))
        return;
    ::posix_fadvise(m_fd, static_cast<off_t>(offset), static_cast<off_t>(count),
                    POSIX_FADV_WILLNEED);
}

bool InputFile::seek(uint64_t offset) {
    if (m_fd < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    if (sysSeek(m_fd, static_cast<off_t>(offset)) < 0) return false;
    m_position = offset;
    return true;
}

namespace {

// A name no other writer uses at the same time: process id, a per-process counter and the clock,
// so that two programs (or two objects) writing the same target never share a temporary.
std::string folderOf(const std::string& target) {
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : target.substr(0, slash);
}

std::string temporaryName(const std::string& target, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    const size_t slash = target.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    // Part of the target's name helps whoever finds a temporary left by a crash; the cut keeps
    // the whole name within the file system's 255 bytes.
    const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1, 64);
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.%lx.%u.tmp", static_cast<long>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned long>(now.tv_nsec), attempt);
    return folder + "." + base + suffix;
}

}  // namespace

namespace {

// The names of unfinished files that a killed process would leave behind: a named temporary
// where the file system has no unnamed files, and, for an unnamed file replacing a target, the
// name it holds between its link and the rename. Slots change state by atomic exchanges only,
// so that a signal handler on any thread may take one while a writer fills or frees another.
enum SlotState : int { kFree, kFilling, kHeld, kRemoving };
struct TemporarySlot {
    std::atomic<int> state{kFree};
    char path[PATH_MAX];
};
constexpr int kTemporarySlots = 32;  // files written at once, far more than any caller has
TemporarySlot g_temporaries[kTemporarySlots];

// The target a link names, even one that does not exist yet; `path` when it is no link.
std::string linkTarget(const std::string& path) {
    std::string at = path;
    for (int depth = 0; depth < 40; ++depth) {  // the kernel's own bound on a chain of links
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink(at.c_str(), buffer, sizeof buffer - 1);
        if (n < 0) return at;
        const std::string to(buffer, static_cast<size_t>(n));
        const size_t slash = at.rfind('/');
        at = to[0] == '/' || slash == std::string::npos ? to : at.substr(0, slash + 1) + to;
    }
    return at;
}

}  // namespace

int holdTemporary(const char* path) noexcept {
    const size_t length = std::strlen(path);
    if (length >= PATH_MAX) return -1;
    for (int i = 0; i < kTemporarySlots; ++i) {
        int expected = kFree;
        if (!g_temporaries[i].state.compare_exchange_strong(expected, kFilling)) continue;
        std::memcpy(g_temporaries[i].path, path, length + 1);
        g_temporaries[i].state.store(kHeld);
        return i;
    }
    return -1;  // not held: only a signal's clean-up misses it
}

void releaseTemporary(int slot) noexcept {
    if (slot < 0 || slot >= kTemporarySlots) return;
    int expected = kHeld;
    // A handler that took the slot keeps it: the process is ending.
    g_temporaries[slot].state.compare_exchange_strong(expected, kFree);
}

void removeTemporaries() noexcept {
    for (TemporarySlot& slot : g_temporaries) {
        int expected = kHeld;
        if (slot.state.compare_exchange_strong(expected, kRemoving)) ::unlink(slot.path);
    }
}

void OutputFile::create(const char* path) {
    discard();
    m_position = m_end = m_reserved = 0;
    m_reserveRefused = false;
    m_writtenBack = 0;
    m_writeBehindRefused = false;
    m_path = path ? path : "";
    if (!path || !*path) throw FileError("create", m_path, path ? ENOENT : EINVAL);

    struct stat st;
    const bool exists = sysStat(path, &st) == 0;  // follows links: what a plain create would write
    if (!exists && errno != ENOENT) throw FileError("create", m_path, errno);
    if (exists && S_ISDIR(st.st_mode)) throw FileError("create", m_path, EISDIR);

    // Devices and pipes are written in place: renaming over one would replace the device. So is
    // a file without a name (a spool reached through /proc/self/fd), which holds nothing to lose.
    m_inPlace = exists && (!S_ISREG(st.st_mode) || st.st_nlink == 0);
    m_targetExisted = exists;
    if (m_inPlace) {
        m_fd = sysOpen(path, O_WRONLY | (S_ISREG(st.st_mode) ? O_TRUNC : 0));
        if (m_fd < 0) throw FileError("create", m_path, errno);
        return;
    }
    // A link is followed to the file it names, existing or still to be made; the link stays.
    m_target = linkTarget(m_path);
    if (exists) {
        // Refuse what a plain create would refuse (no right to write, a read-only file system).
        const int probe = sysOpen(m_target.c_str(), O_WRONLY);
        if (probe < 0) throw FileError("create", m_path, errno);
        ::close(probe);  // nothing was written through it: its close cannot lose data
    }

    // An unnamed file in the target's folder: a process killed before close leaves nothing
    // behind, not even the room it reserved. 0666 less the umask (and any default ACL), as
    // a plain create would give.
    m_fd = sysOpen(folderOf(m_target).c_str(), O_TMPFILE | O_WRONLY, 0666);
    m_unnamed = m_fd >= 0;
    // File systems without unnamed files get a named temporary, removed on any failure.
    const bool unsupported =
        m_fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
    for (unsigned attempt = 0; unsupported && attempt < 100 && m_fd < 0; ++attempt) {
        m_temp = temporaryName(m_target, attempt);
        m_fd = sysOpen(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (m_fd < 0 && errno != EEXIST) break;
    }
    if (m_fd < 0) {
        const int error = errno;
        m_temp.clear();
        // Never in place: a file written over loses its old content to a crash or a full disk.
        // Where the folder takes no new file, the target cannot be replaced whole.
        throw FileError(exists ? "create a replacement beside" : "create", m_path, error);
    }
    if (!m_unnamed) m_tempSlot = holdTemporary(m_temp.c_str());
    if (exists) {  // the target keeps its owner and permissions, as with a truncation
        // Only the owner can hand a file over: failing that, the new file stays the
        // writer's own, which loses nothing. The mode follows, as ownership can clear it.
        if (::fchown(m_fd, st.st_uid, st.st_gid) != 0) errno = 0;
        if (::fchmod(m_fd, st.st_mode & 07777) != 0) errno = 0;
    }
}

void OutputFile::fail(const char* operation, int errorCode) {
    discard();
    m_failedOperation = operation;
    m_failedError = errorCode;
    throw FileError(operation, m_path, errorCode);
}

void OutputFile::abandon(const char* operation, int errorCode) {
    discard();
    throw FileError(operation, m_path, errorCode);
}

void OutputFile::write(const void* data, size_t count) {
    if (m_fd < 0) {
        if (m_failedOperation) throw FileError(m_failedOperation, m_path, m_failedError);
        throw FileError("write", m_path, EBADF);
    }
    const auto* in = static_cast<const char*>(data);
    // Pieces of at most 256 KiB: a larger write has the page cache take folios of megabytes,
    // whose first touch can cost many times the copy (seen on virtual machines, 0.1 s against
    // 0.13 to 7.5 s for 560 MB); smaller pieces cost a few system calls more.
    constexpr size_t kWritePieceBytes = size_t{256} << 10;
    while (count > 0) {
        ssize_t n = sysWrite(m_fd, in, count < kWritePieceBytes ? count : kWritePieceBytes);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("write", errno);
        if (n == 0) fail("write", EIO);
        in += n;
        count -= static_cast<size_t>(n);
        m_position += static_cast<uint64_t>(n);
    }
    if (m_position > m_end) m_end = m_position;
    // Write-behind: what a large file wrote is handed to the disk as it goes, instead of piling
    // up as dirty cache until the kernel throttles the writer. A hint: a refusal (a pipe, a file
    // system without it) stops the asking and changes nothing else.
    constexpr uint64_t kWriteBehindStep = uint64_t{32} << 20;
    if (!m_writeBehindRefused && m_end >= m_writtenBack + kWriteBehindStep) {
        if (sysWriteBehind(m_fd, m_writtenBack, m_end - m_writtenBack) == 0)
            m_writtenBack = m_end;
        else
            m_writeBehindRefused = true;
    }
}

void OutputFile::reserve(uint64_t bytes) noexcept {
    if (m_fd < 0 || bytes <= m_end || bytes <= m_reserved) return;
    if (sysReserve(m_fd, bytes) == 0) m_reserved = bytes;
}

void OutputFile::reserveAhead(uint64_t bytes) noexcept {
    if (m_fd < 0 || m_reserveRefused || bytes <= m_reserved) return;
    // Steps of the file's own length (at least 64 MiB, at most 1 GiB): few calls for a large
    // file, and never more than 1 GiB held past the end, which close gives back.
    constexpr uint64_t kMinStep = uint64_t{64} << 20, kMaxStep = uint64_t{1} << 30;
    const uint64_t step = bytes < kMinStep ? kMinStep : bytes > kMaxStep ? kMaxStep : bytes;
    const uint64_t want = bytes + step;
    if (sysReserve(m_fd, want) == 0)
        m_reserved = want;
    else
        m_reserveRefused = true;
}

void OutputFile::seekToStart() {
    if (m_fd < 0) {
        if (m_failedOperation) throw FileError(m_failedOperation, m_path, m_failedError);
        throw FileError("seek", m_path, EBADF);
    }
    if (sysSeek(m_fd, 0) < 0) fail("seek", errno);
    m_position = 0;
}

void OutputFile::close() {
    if (m_fd < 0) {
        if (!m_failedOperation) return;  // closing twice is harmless
        const char* operation = m_failedOperation;
        m_failedOperation = nullptr;  // reported once: a second close stays quiet
        throw FileError(operation, m_path, m_failedError);
    }
    // No flush to the disk before the rename: a failed or killed writer already leaves the
    // target whole, and waiting for the disk would cost a large cloud many times its write.
    // Surviving a power cut is the file system's business (ext4 orders a replacing rename).
    // Room reserved past the end goes back; if it cannot, the file is whole all the same.
    if (m_reserved > m_end) sysRelease(m_fd, m_end);
    m_reserved = 0;
    const int fd = m_fd;
    if (m_inPlace) {
        m_fd = -1;
        if (sysClose(fd) != 0 && errno != EINTR) abandon("close", errno);
        return;
    }
    // A failed close can be the first report of a failed write (network or full file systems).
    // Every close of a descriptor flushes, so closing a duplicate hears it while the file is
    // still unnamed, and nothing stands between the link and the rename below.
    const int copy = ::dup(fd);
    if (copy < 0) abandon("close", errno);
    if (sysClose(copy) != 0 && errno != EINTR) abandon("close", errno);
    if (m_unnamed && !m_targetExisted) {
        // A new file takes its name at once: no moment with a second name.
        if (sysLinkUnnamed(fd, m_target.c_str()) == 0) {
            finish();
            return;
        }
        if (errno != EEXIST) abandon("replace", errno);
        // The target appeared meanwhile: it is replaced like any other.
    }
    if (m_unnamed) {
        // The finished file gets a hidden name of its own, then takes the target's at once.
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            m_temp = temporaryName(m_target, attempt);
            m_tempSlot = holdTemporary(m_temp.c_str());  // held before it exists
            if (sysLinkUnnamed(fd, m_temp.c_str()) == 0) break;
            const int error = errno;
            releaseTemporary(m_tempSlot);
            m_tempSlot = -1;
            m_temp.clear();
            if (error != EEXIST) abandon("replace", error);
        }
        m_unnamed = false;
        if (m_temp.empty()) abandon("replace", EEXIST);
    }
    if (sysRename(m_temp.c_str(), m_target.c_str()) != 0) abandon("replace", errno);
    m_temp.clear();
    finish();
}

void OutputFile::finish() noexcept {
    releaseTemporary(m_tempSlot);
    m_tempSlot = -1;
    m_temp.clear();
    m_unnamed = false;
    // The file is in place and its writes were heard at the duplicate's close.
    ::close(m_fd);
    m_fd = -1;
}

void OutputFile::discard() noexcept {
    if (m_fd >= 0) sysClose(m_fd);  // an unnamed file goes with its last descriptor
    m_fd = -1;
    m_unnamed = false;
    if (!m_temp.empty()) ::unlink(m_temp.c_str());
    releaseTemporary(m_tempSlot);
    m_tempSlot = -1;
    m_temp.clear();
    m_failedOperation = nullptr;
}

void removeTemporariesOnSignals() noexcept {
    struct sigaction action {};
    action.sa_handler = [](int signal) {
        removeTemporaries();
        ::raise(signal);  // the default action again, kept by SA_RESETHAND: the process ends
    };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGPIPE}) {
        struct sigaction current {};
        // A signal the caller ignores (nohup's SIGHUP) stays ignored.
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            ::sigaction(signal, &action, nullptr);
    }
}

}  // namespace orv::platform

void orv::removeTemporariesOnSignals() noexcept {
    platform::removeTemporariesOnSignals();
}
