// The one exception type of the library's file layer.
#pragma once

#include <stdexcept>
#include <string>

#include "OrvExport.h"

namespace orv {

// A file operation failed: carries the operation, the path and the operating system's error.
class ORV_API FileError : public std::runtime_error {
public:
    FileError(const std::string& operation, const std::string& path, int errorCode);
    ~FileError() override;
    const std::string& path() const noexcept { return m_path; }
    // The operating system's error number (errno on POSIX).
    int errorCode() const noexcept { return m_errorCode; }

private:
    std::string m_path;
    int m_errorCode;
};

}  // namespace orv
