#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/common/file_ops.h"

namespace kalvo::SHELL {

// One operating-system file handle, owned: closed when the object goes. Both opens are
// exclusive (no sharing). The day file and the settings file derive from it.
class CShell {
  public:
    explicit CShell(FileOps& ops = DefaultFileOps()) : ops_(ops) {}
    virtual ~CShell();
    CShell(const CShell&) = delete;
    CShell& operator=(const CShell&) = delete;

    // Write access, created when missing, content kept.
    bool OpenForWriting(const std::string& path);
    // Read access; the file must exist.
    bool OpenForReading(const std::string& path);
    void Close();
    bool IsOpen() const { return handle_ >= 0; }

    bool Size(uint64_t* size);
    bool SeekEnd(uint64_t* position);
    bool Truncate(uint64_t size);
    // Bytes read (fewer at end of file), or -1.
    int64_t Read(void* buffer, size_t n);
    bool Write(const void* data, size_t n);
    bool Sync();

  protected:
    FileOps& ops_;

  private:
    int handle_ = -1;
};

}  // namespace kalvo::SHELL
