#include <new>
#include <stdexcept>

#include "platform/Files.h"

namespace orv::platform {

bool readWholeFile(const char* path, std::string& out) {
    InputFile file;
    if (!file.open(path)) return false;
    const uint64_t size = file.size();
    if (size == 0 || size > std::string().max_size()) return false;
    std::string bytes;
    try {
        bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    // A read that stops short (an I/O error, a file cut meanwhile) must not pass for the file.
    if (file.read(bytes.data(), bytes.size()) != bytes.size()) return false;
    out.swap(bytes);
    return true;
}

}  // namespace orv::platform
