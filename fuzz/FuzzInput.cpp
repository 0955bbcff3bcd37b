#include "FuzzInput.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace orvfuzz {

namespace {

const std::string& scratchPath() {
    // Never destroyed: the exit handler below needs it, and a static string registered with
    // atexit during its own construction would be destroyed before the handler runs.
    static const std::string* path = [] {
        // Memory-backed when the machine has it: a disk file rewritten thousands of times a
        // second waits on the disk. One file per process: -jobs and -fork run several at once.
        std::error_code ec;
        const std::filesystem::path shm = "/dev/shm";
        const std::filesystem::path folder =
            std::filesystem::is_directory(shm, ec) ? shm : std::filesystem::temp_directory_path();
        auto* p =
            new std::string((folder / ("orv-fuzz-" + std::to_string(::getpid()) + ".in")).string());
        std::atexit([] { std::remove(scratchPath().c_str()); });
        return p;
    }();
    return *path;
}

}  // namespace

const char* inputFile(const uint8_t* data, size_t size) {
    const std::string& path = scratchPath();
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) std::abort();  // not a finding of the code under test, but no input can be tried
    const bool written = size == 0 || std::fwrite(data, 1, size, out) == size;
    if (std::fclose(out) != 0 || !written) std::abort();
    return path.c_str();
}

}  // namespace orvfuzz
