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

ScratchDir::~ScratchDir() {
    if (m_path.empty()) return;
    for (const std::string& f : m_files) ::unlink(f.c_str());
    ::rmdir(m_path.c_str());
}

std::string ScratchDir::file(const std::string& name) {
    if (m_path.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvter-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw CommandError("cannot create a temporary folder: " + reason(errno));
        m_path = pattern;
    }
    m_files.push_back(m_path + "/" + name);
    return m_files.back();
}

InputPath::InputPath(const std::string& arg) : m_name(arg == "-" ? "standard input" : arg) {
    const int fd = arg == "-" ? ::dup(STDIN_FILENO) : ::open(arg.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw CommandError("cannot read '" + m_name + "': " + reason(errno));
    struct stat st {};
    int error = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (!error && S_ISREG(st.st_mode) && arg != "-") {
        m_path = arg;  // the library reads it itself, seeking as it likes
    } else if (!error) {
        // Pipes and terminals cannot be read twice: the header checks would consume the points.
        m_path = m_scratch.file("input");
        const int out = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        error = out < 0 ? errno : copyAll(fd, out);
        if (out >= 0 && ::close(out) != 0 && !error) error = errno;
    }
    ::close(fd);
    if (error) throw CommandError("cannot read '" + m_name + "': " + reason(error));
}

OutputPath::OutputPath(const std::string& arg)
    : m_arg(arg), m_name(arg == "-" ? "standard output" : arg) {
    struct stat st {};
    // Only a regular file (or a new one) can be sought and replaced; anything else gets the
    // whole file at the end.
    m_copy = arg == "-" ||
             (::stat(arg.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode));
    m_path = m_copy ? m_scratch.file("output") : arg;
}

void OutputPath::finish() {
    if (!m_copy) return;
    const int in = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw CommandError("cannot write '" + m_name + "': " + reason(errno));
    int error = 0;
    if (m_arg == "-") {
        std::fflush(stdout);  // what was printed before stays before
        error = copyAll(in, STDOUT_FILENO);
    } else {
        const int out = ::open(m_arg.c_str(), O_WRONLY | O_CLOEXEC);
        error = out < 0 ? errno : copyAll(in, out);
        if (out >= 0 && ::close(out) != 0 && !error) error = errno;
    }
    ::close(in);
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
