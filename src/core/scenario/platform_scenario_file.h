#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kalvo::SHELL {

// A scenario file opened for one operation without sharing. On POSIX the open also takes an
// exclusive non-blocking lock, so a second opener fails at once instead of waiting; only
// regular files open, so a folder or a pipe is refused rather than read or waited on.
class CScenarioFile {
  public:
    enum class Mode {
        kReadExisting,  // must exist
        kWriteReplace,  // created when missing, emptied once locked
    };

    CScenarioFile() = default;
    ~CScenarioFile();
    CScenarioFile(const CScenarioFile&) = delete;
    CScenarioFile& operator=(const CScenarioFile&) = delete;

    bool Open(const std::string& path, Mode mode);
    // False when the system reports a failure on closing (a late write error).
    bool Close();
    bool IsOpen() const { return fd_ >= 0; }
    // Bytes; -1 when unknown.
    int64_t Size() const;
    // False unless exactly `size` bytes were read.
    bool ReadExact(void* data, size_t size);
    bool WriteAll(const void* data, size_t size);

  private:
    int fd_ = -1;
};

}  // namespace kalvo::SHELL
