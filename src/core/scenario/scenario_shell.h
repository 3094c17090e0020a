#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/common/file_ops.h"

namespace kalvo::SHELL {

// A scenario file opened for one operation without sharing: a second opener fails at once
// instead of waiting, and only regular files open. Closed when the object goes.
class CScenarioFile {
  public:
    enum class Mode {
        kReadExisting,  // must exist
        kWriteReplace,  // created when missing, emptied once locked
    };

    explicit CScenarioFile(FileOps& ops = DefaultFileOps()) : ops_(ops) {}
    ~CScenarioFile();
    CScenarioFile(const CScenarioFile&) = delete;
    CScenarioFile& operator=(const CScenarioFile&) = delete;

    bool Open(const std::string& path, Mode mode);
    // False when the system reports a failure on closing (a late write error).
    bool Close();
    bool IsOpen() const { return handle_ >= 0; }
    // Bytes; -1 when unknown.
    int64_t Size();
    // False unless exactly `size` bytes were read.
    bool ReadExact(void* data, size_t size);
    bool WriteAll(const void* data, size_t size);

  private:
    FileOps& ops_;
    int handle_ = -1;
};

}  // namespace kalvo::SHELL
