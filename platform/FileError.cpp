#include <cstring>

#include "OrvError.h"

namespace orv {

static std::string describe(const std::string& operation, const std::string& path, int errorCode) {
    return "cannot " + operation + " '" + path + "': " + std::strerror(errorCode);
}

FileError::FileError(const std::string& operation, const std::string& path, int errorCode)
    : std::runtime_error(describe(operation, path, errorCode)),
      m_path(path),
      m_errorCode(errorCode) {}

FileError::~FileError() = default;

}  // namespace orv
