// The library's only window on the operating system's files. Nothing here knows LAS or XML.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv::platform {

// A file opened read-only on an existing path. Failures are reported through results.
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() { close(); }

    // Opens an existing file for reading; false when it cannot be opened.
    bool open(const char* path);
    bool isOpen() const { return m_fd >= 0; }
    void close();
    // Length of the file in bytes, or 0 when unknown.
    uint64_t size() const;
    // Reads up to `count` bytes at the current position; returns the bytes delivered, fewer
    // only at the end of the file or on an error.
    size_t read(void* buffer, size_t count);
    // Moves the position to `offset` bytes from the start; false on failure.
    bool seek(uint64_t offset);

private:
    int m_fd = -1;
};

// A private read-only mapping of a whole file, or of its first bytes.
class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() { unmap(); }

    // Maps the first min(maxBytes, file size) bytes of an existing regular file. False when the
    // file cannot be opened or is empty. The file itself is closed again at once.
    bool map(const char* path, uint64_t maxBytes = UINT64_MAX);
    void unmap();
    const uint8_t* data() const { return m_data; }
    // Bytes mapped.
    size_t size() const { return m_size; }
    // Length of the whole file, mapped or not.
    uint64_t fileSize() const { return m_fileSize; }

private:
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    uint64_t m_fileSize = 0;
};

// A file created (or truncated) for writing. Every failure throws orv::FileError.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Closes a file still open and swallows any error: a destructor never throws.
    ~OutputFile();

    void create(const char* path);
    bool isOpen() const { return m_fd >= 0; }
    // Writes all `count` bytes at the current position.
    void write(const void* data, size_t count);
    void seekToStart();
    void close();
    // Closes without reporting errors: for abandoning a file whose content no longer matters.
    void discard() noexcept;

private:
    int m_fd = -1;
    std::string m_path;
};

}  // namespace orv::platform
