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
    // A regular file, as opposed to a device, a pipe or a socket.
    bool isRegular() const { return m_regular; }
    // Reads up to `count` bytes at the current position; returns the bytes delivered, fewer
    // only at the end of the file or on an error. Bytes past the length the file has once the
    // read is done are not delivered: they may be a truncation's zeroes.
    size_t read(void* buffer, size_t count);
    // Whether a read failed since the file was opened: tells an error from the file's end, for
    // a reader that takes a file shortened under it for what it now holds.
    bool readFailed() const { return m_readFailed; }
    // Moves the position to `offset` bytes from the start; false on failure.
    bool seek(uint64_t offset);
    // Reads up to `count` bytes at `offset` without moving the position, so that several
    // threads can read one file at once; returns the bytes delivered.
    size_t readAt(uint64_t offset, void* buffer, size_t count) const;
    // Tells the system that these bytes will be read soon, so that reads scattered over the
    // file reach the disk at once instead of one after another.
    void willNeed(uint64_t offset, uint64_t count) const;

private:
    int m_fd = -1;
    uint64_t m_position = 0;  // where the next read starts
    bool m_regular = false;
    bool m_readFailed = false;
};

// A file written whole, then put in place of its target at `close`, so that a failure half-way
// (full disk, lost device, crash) never costs the file that was there before. Bytes go to an
// unnamed file in the target's folder (a named temporary where the file system has no unnamed
// files); `close` gives a new file the target's name at once, or names it and renames it over
// an existing target, so a killed process leaves nothing. Any failure, and a file that is never
// closed, removes the temporary and leaves the target exactly as it was. A regular file is
// never written in place: where its folder takes no new file, create refuses. A target that
// exists and is not a regular file (a device, a pipe), or a file without a name, is written in
// place: renaming over it would replace the device. Every failure throws orv::FileError.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Discards a file that was not closed: the target stays as it was. Never throws.
    ~OutputFile() { discard(); }

    // Starts a new file for `path`, discarding one this object had not closed yet.
    void create(const char* path);
    // True between a successful create and close, discard or the first failure.
    bool isOpen() const { return m_fd >= 0; }
    // Writes all `count` bytes at the current position.
    void write(const void* data, size_t count);
    void seekToStart();
    // Asks the file system for room for the first `bytes` bytes of the file up front, so that a
    // large file is laid out in one piece and written without allocating as it goes. Only a
    // hint: where it cannot be given (a full disk, a device, a file system without it) the
    // writes go on as before and find out. Room left unused is given back at close.
    void reserve(uint64_t bytes) noexcept;
    // For a writer that does not know its length: makes sure room is reserved for the first
    // `bytes` bytes, reserving ahead in steps that grow with the file, so that a long write
    // asks the file system a few dozen times, not once per buffer. A hint like reserve; after
    // one refusal it asks no more for this file.
    void reserveAhead(uint64_t bytes) noexcept;
    // Completes the file and puts it in place of the target. After a failed write or seek it
    // throws that failure again instead (once), and the target stays as it was.
    void close();
    // Abandons the file being written: the temporary goes, the target stays as it was.
    void discard() noexcept;

private:
    [[noreturn]] void fail(const char* operation, int errorCode);
    // Discards the file and throws, leaving nothing for a later close to report.
    [[noreturn]] void abandon(const char* operation, int errorCode);
    // Lets go of a file now in place.
    void finish() noexcept;

    int m_fd = -1;
    bool m_inPlace = false;
    bool m_unnamed = false;         // an O_TMPFILE file, named only at close
    bool m_targetExisted = false;   // close replaces a file, rather than naming a new one
    int m_tempSlot = -1;            // where removeTemporaries finds m_temp
    uint64_t m_position = 0;        // where the next write goes
    uint64_t m_end = 0;             // the bytes the writes have reached: the file's length
    uint64_t m_reserved = 0;        // the room reserve obtained
    bool m_reserveRefused = false;  // reserveAhead stops asking after a refusal
    uint64_t m_writtenBack = 0;     // bytes before it were handed to the kernel's writeback
    bool m_writeBehindRefused = false;
    const char* m_failedOperation = nullptr;  // the failure that spoiled the file, for close
    int m_failedError = 0;
    std::string m_path;    // as the caller gave it, for messages
    std::string m_target;  // what the temporary replaces
    std::string m_temp;    // the temporary, empty when writing in place
};

// The named temporaries of unfinished files (see OutputFile), kept where a signal handler can
// remove them. holdTemporary returns the slot of `path`, or -1 when none is free.
int holdTemporary(const char* path) noexcept;
void releaseTemporary(int slot) noexcept;
// Removes every temporary held: unlink only, so that a signal handler may call it.
void removeTemporaries() noexcept;
// Makes SIGTERM, SIGHUP, SIGINT and SIGPIPE remove the held temporaries before they end the
// process as they would have; signals the process ignores stay ignored.
void removeTemporariesOnSignals() noexcept;

// Reads a whole file into `out`. False, with `out` untouched, when the file cannot be opened, is
// empty, its size cannot be had in memory, or it cannot be read whole.
bool readWholeFile(const char* path, std::string& out);

}  // namespace orv::platform
