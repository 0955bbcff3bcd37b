#include "support/TestSupport.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace orvtest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvtest-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeText(const std::string& path, const std::string& text) {
    writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string readText(const std::string& path) {
    const std::vector<uint8_t> bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::string testDataDir() {
    const char* chosen = std::getenv("ORV_TESTDATA_DIR");
    if (chosen && *chosen) return chosen;
    // The folder beside the clone holds more samples than the clone's own, when it is there.
    struct stat st;
    if (stat(ORV_TESTDATA_DIR, &st) == 0 && S_ISDIR(st.st_mode)) return ORV_TESTDATA_DIR;
    return ORV_TESTDATA_BUNDLED;
}

bool isFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string lasDataDir() {
    const std::string dir = testDataDir() + "/las";
    struct stat st;
    return stat((dir + "/EXPECTED.txt").c_str(), &st) == 0 ? dir : std::string();
}

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

const char* const kNoUnprivilegedUser = "cannot become an unprivileged user";

std::string runUnprivileged(const std::vector<std::string>& give,
                            const std::function<std::string()>& work) {
    if (geteuid() != 0) return work();
    constexpr uid_t kNobody = 65534;
    for (const std::string& folder : give) {
        std::error_code ec;
        if (chown(folder.c_str(), kNobody, kNobody) != 0) return kNoUnprivilegedUser;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
            if (lchown(entry.path().c_str(), kNobody, kNobody) != 0) return kNoUnprivilegedUser;
    }
    int pipe[2];
    if (::pipe(pipe) != 0) return kNoUnprivilegedUser;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return kNoUnprivilegedUser;
    if (child == 0) {
        close(pipe[0]);
        std::string said = kNoUnprivilegedUser;
        if (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0)
            said = work();
        if (write(pipe[1], said.data(), said.size()) < 0) _exit(2);
        _exit(0);
    }
    close(pipe[1]);
    std::string said;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, static_cast<size_t>(n));
    close(pipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the unprivileged child failed";
    return said;
}

std::string orvterCommand(const std::string& args) {
    return shellQuote(ORVTER_PATH) + " " + args;
}

}  // namespace orvtest
