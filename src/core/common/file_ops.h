#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace kalvo::SHELL {

// The file-system calls of the day files, the settings and the scenario files, behind one seam:
// the POSIX calls live in platform_file_ops_posix.cpp, and tests derive from FileOps to make
// single calls fail. Paths are UTF-8.
class FileOps {
  public:
    enum class Access { kRead, kWrite };
    // The two attribute states a day file moves between: read-only while it rests, writable
    // ("archive") just before an append.
    enum class Attributes { kArchive, kReadOnly };

    virtual ~FileOps() = default;

    // Opens without sharing: the open also takes an exclusive, non-blocking lock, so a file
    // held by anybody else is refused. kWrite creates a missing file and keeps the content;
    // kRead needs the file to exist. Only regular files open, so a folder or a pipe is refused
    // rather than read or waited on. Returns a handle, or -1.
    virtual int Open(const std::string& path, Access access);
    // False when the system reports a failure on closing (a late write error).
    virtual bool Close(int handle);
    virtual bool Size(int handle, uint64_t* size);
    // Reads up to n bytes, retrying short reads until n or end of file. Returns the count, or
    // -1 on an error.
    virtual int64_t Read(int handle, void* buffer, size_t n);
    // Writes all n bytes (one call from the caller's side). False on any error.
    virtual bool Write(int handle, const void* data, size_t n);
    // Moves to the end; gives the new position.
    virtual bool SeekEnd(int handle, uint64_t* position);
    virtual bool Truncate(int handle, uint64_t size);
    // Asks the system to put the written data on the disk.
    virtual bool Sync(int handle);

    virtual bool Exists(const std::string& path);
    virtual bool IsFolder(const std::string& path);
    virtual bool MakeFolder(const std::string& path);
    virtual bool SetAttributes(const std::string& path, Attributes attributes);
    // True when the file exists and carries the read-only attribute.
    virtual bool IsReadOnly(const std::string& path);
};

// The real file system.
FileOps& DefaultFileOps();

// Broken-down local time of `seconds` since 1970 UTC; false when it is beyond the calendar.
bool LocalTime(int64_t seconds, std::tm* out);

// The path separator of the platform, for building file paths.
constexpr char kPathSeparator = '/';

}  // namespace kalvo::SHELL
