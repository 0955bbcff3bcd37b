// Paths as the user gives them: `-`, pipes and devices, and standard output's health.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Command.h"

namespace orvter {
namespace {

std::string reason(int error) {
    return std::strerror(error);
}

// Copies everything from `from` to `to`; the errno of the failure, or 0.
int copyAll(int from, int to) {
    static char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return w < 0 ? errno : EIO;
            done += w;
        }
    }
}

}  // namespace

Spool::Spool() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp && *tmp ? tmp : "/tmp";
    m_fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: a named one, unlinked before anything is in it.
        std::string pattern = folder + "/orvter-XXXXXX";
        m_fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (m_fd >= 0) ::unlink(pattern.c_str());
    }
    if (m_fd < 0)
        throw CommandError("cannot make a spool file in '" + folder + "': " + reason(errno));
    m_path = "/proc/self/fd/" + std::to_string(m_fd);
    if (::access(m_path.c_str(), R_OK | W_OK) != 0)
        throw CommandError("cannot reach a spool file through /proc: " + reason(errno));
}

Spool::~Spool() {
    if (m_fd >= 0) ::close(m_fd);
}

namespace {

FileIdentity identityOfStat(const struct stat& st) {
    FileIdentity id;
    id.known = S_ISREG(st.st_mode);
    id.device = st.st_dev;
    id.inode = st.st_ino;
    return id;
}

}  // namespace

FileIdentity identityOf(const std::string& arg) {
    struct stat st {};
    const int r = arg == "-" ? ::fstat(STDIN_FILENO, &st) : ::stat(arg.c_str(), &st);
    return r == 0 ? identityOfStat(st) : FileIdentity();
}

InputPath::InputPath(const std::string& arg) : m_name(arg == "-" ? "standard input" : arg) {
    const int fd = arg == "-" ? ::dup(STDIN_FILENO) : ::open(arg.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw CommandError("cannot read '" + m_name + "': " + reason(errno));
    struct stat st {};
    int error = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (!error) m_identity = identityOfStat(st);
    if (!error && S_ISREG(st.st_mode) && arg != "-") {
        m_path = arg;  // the library reads it itself, seeking as it likes
    } else if (!error) {
        // Pipes and terminals cannot be read twice: the header checks would consume the points.
        try {
            m_spool = std::make_unique<Spool>();
        } catch (...) {
            ::close(fd);
            throw;
        }
        m_path = m_spool->path();
        error = copyAll(fd, m_spool->fd());
    }
    ::close(fd);
    if (error) throw CommandError("cannot read '" + m_name + "': " + reason(error));
}

OutputPath::OutputPath(const std::string& arg)
    : m_arg(arg), m_name(arg == "-" ? "standard output" : arg) {
    struct stat st {};
    const int r = arg == "-" ? ::fstat(STDOUT_FILENO, &st) : ::stat(arg.c_str(), &st);
    if (r == 0) m_identity = identityOfStat(st);
    // Only a regular file (or a new one) can be sought and replaced; anything else gets the
    // whole file at the end.
    if (arg == "-" || (r == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))) {
        m_spool = std::make_unique<Spool>();
        m_path = m_spool->path();
    } else {
        m_path = arg;
    }
}

void OutputPath::refuseInput(const FileIdentity& input, const std::string& name) const {
    if (m_identity == input)
        throw CommandError(
            "refused: '" + m_name + "' is the input '" + name + "'; write to another file",
            kExitUsage);
}

void OutputPath::finish() {
    if (!m_spool) return;
    int error = 0;
    if (::lseek(m_spool->fd(), 0, SEEK_SET) != 0) {
        error = errno;
    } else if (m_arg == "-") {
        std::fflush(stdout);  // what was printed before stays before
        error = copyAll(m_spool->fd(), STDOUT_FILENO);
    } else {
        const int out = ::open(m_arg.c_str(), O_WRONLY | O_CLOEXEC);
        error = out < 0 ? errno : copyAll(m_spool->fd(), out);
        if (out >= 0 && ::close(out) != 0 && !error) error = errno;
    }
    if (error) throw CommandError("cannot write '" + m_name + "': " + reason(error));
}

int finishStdout(int status) {
    // Buffered output fails only here: a full disk or a closed pipe must not pass for success.
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
    const int error = errno;
    if (std::fclose(stdout) != 0 || failed) {
        std::fprintf(stderr, "orvter: cannot write to standard output: %s\n",
                     std::strerror(failed ? error : errno));
        return status == 0 ? 1 : status;
    }
    return status;
}

}  // namespace orvter
