// Timing in fresh processes: every run of a benchmark row is a new child of this program, so
// nothing one run leaves behind (freed huge pages, a grown heap, a warm allocator) makes the
// next one cheaper than it is for a user who runs a program once.
//
// The parent re-executes itself (/proc/self/exe) with the row's hidden arguments; the child does
// its set-up, times only the work, and calls reportSeconds(). The parent reads that figure from a
// pipe and the child's peak resident memory from wait4(). Candidates run interleaved with their
// reference, alternating which goes first, so that a slow spell of a shared machine falls on both.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace fresh {

// What one child run measured.
struct Sample {
    double seconds = 0.0;     // as the child timed its own work
    double cpuSeconds = -1;   // the processor time of that work, when the child gave it
    double userSeconds = -1;  // the part of it spent in the program itself, not the kernel
    long peakKiB = 0;         // the child's peak resident memory
};

struct Summary {
    double min = 0.0, median = 0.0, max = 0.0;
    double cpuMedian = -1;   // median processor time, when every child gave it
    double userMedian = -1;  // median user-mode processor time, when every child gave it
    long peakKiB = 0;        // the highest of the runs
    size_t runs = 0;
};

inline double medianOf(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    const size_t n = t.size();
    return n == 0 ? 0.0 : n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
}

inline Summary summarize(const std::vector<Sample>& samples) {
    Summary s;
    s.runs = samples.size();
    if (samples.empty()) return s;
    std::vector<double> t, cpu, user;
    for (const Sample& x : samples) {
        t.push_back(x.seconds);
        if (x.cpuSeconds >= 0) cpu.push_back(x.cpuSeconds);
        if (x.userSeconds >= 0) user.push_back(x.userSeconds);
        s.peakKiB = std::max(s.peakKiB, x.peakKiB);
    }
    s.min = *std::min_element(t.begin(), t.end());
    s.max = *std::max_element(t.begin(), t.end());
    s.median = medianOf(t);
    if (cpu.size() == t.size()) s.cpuMedian = medianOf(cpu);
    if (user.size() == t.size()) s.userMedian = medianOf(user);
    return s;
}

// The marker a child's figure follows: a library that prints on standard output cannot be
// mistaken for it.
constexpr const char* kMarker = "@fresh-seconds ";

// Child side: hand the timed seconds to the parent.
inline void reportSeconds(double seconds, double cpuSeconds = -1, double userSeconds = -1) {
    std::printf("%s%.9f %.9f %.9f\n", kMarker, seconds, cpuSeconds, userSeconds);
    std::fflush(stdout);
}

// Child side: a monotonic stopwatch, with the processor time the process used meanwhile (on a
// shared machine the wall-clock time also holds the time other programs had the processor),
// and the user-mode part of it: the program's own work, without the kernel's (fresh memory,
// page cache), which on a virtual machine can swing many times over from run to run.
class Stopwatch {
public:
    Stopwatch()
        : m_start(std::chrono::steady_clock::now()), m_cpuStart(cpuNow()), m_userStart(userNow()) {}
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }
    double cpuSeconds() const { return cpuNow() - m_cpuStart; }
    double userSeconds() const { return userNow() - m_userStart; }

private:
    static double userNow() {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
    }
    static double cpuNow() {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
    std::chrono::steady_clock::time_point m_start;
    double m_cpuStart;
    double m_userStart;
};

// Child side: the wall-clock and processor time since `watch` started.
inline void reportSeconds(const Stopwatch& watch) {
    const double cpu = watch.cpuSeconds(), user = watch.userSeconds();
    reportSeconds(watch.seconds(), cpu, user);
}

// Parent side: runs this program again with `args` and waits for it. False, with a reason in
// `error`, when the child cannot start, fails, or reports no figure.
inline bool runChild(const std::vector<std::string>& args, Sample& out, std::string& error) {
    std::vector<char*> argv;
    static char self[] = "/proc/self/exe";
    argv.push_back(self);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::fflush(nullptr);
    // posix_spawn shares the parent's memory until the exec instead of copying its page
    // tables, so the child's peak resident memory is its own, not the parent's at the fork.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        error = std::string("posix_spawn: ") + std::strerror(spawned);
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    ::close(fds[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR) {
            error = std::string("wait4: ") + std::strerror(errno);
            return false;
        }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "child " + (args.empty() ? std::string() : args[0]) + " failed (status " +
                std::to_string(status) + ")";
        return false;
    }
    const size_t at = text.rfind(kMarker);
    if (at == std::string::npos) {
        error = "child " + (args.empty() ? std::string() : args[0]) + " reported no time";
        return false;
    }
    char* end = nullptr;
    out.seconds = std::strtod(text.c_str() + at + std::strlen(kMarker), &end);
    out.cpuSeconds = std::strtod(end, &end);
    out.userSeconds = std::strtod(end, nullptr);
    out.peakKiB = usage.ru_maxrss;  // KiB on Linux
    return true;
}

// One side of a comparison: the child's arguments, and untimed work the parent does before
// each run (remove an output file, flush dirty pages).
struct Candidate {
    std::string name;
    std::vector<std::string> args;
    std::function<void()> prepare;
};

// Runs every candidate `runs` times, interleaved: each round runs them all once, the order
// rotating by one from round to round, so that each takes every place in the order equally
// often and a slow spell of a shared machine falls on all of them. Returns the samples of each
// candidate in the order given. Exits the program when a child fails: a figure with a failed run
// left out would flatter.
inline std::vector<std::vector<Sample>> interleaveAll(const std::vector<Candidate>& candidates,
                                                      int runs) {
    std::vector<std::vector<Sample>> result(candidates.size());
    const size_t n = candidates.size();
    for (int r = 0; r < runs; ++r) {
        for (size_t k = 0; k < n; ++k) {
            const size_t index = (k + static_cast<size_t>(r)) % n;
            const Candidate& c = candidates[index];
            if (c.prepare) c.prepare();
            Sample s;
            std::string error;
            if (!runChild(c.args, s, error)) {
                std::fprintf(stderr, "%s: %s\n", c.name.c_str(), error.c_str());
                std::exit(1);
            }
            result[index].push_back(s);
        }
    }
    return result;
}

struct Pair {
    std::vector<Sample> candidate, reference;
};

// A candidate and its reference, interleaved: the reference goes first on even runs.
inline Pair interleave(const Candidate& candidate, const Candidate& reference, int runs) {
    std::vector<std::vector<Sample>> both = interleaveAll({reference, candidate}, runs);
    return {both[1], both[0]};
}

// Parent side: gets rid of a previous output file without timing its cost later: its dirty
// pages are written out first, so that the next run does not pay the page cache's write-back.
inline void removeFlushed(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fdatasync(fd);
        ::close(fd);
    }
    ::unlink(path.c_str());
    ::sync();
}

// Parent side: reads a file once so that its pages are in the page cache.
inline bool warm(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    static char buffer[1 << 20];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    }
    ::close(fd);
    return n == 0;
}

}  // namespace fresh
