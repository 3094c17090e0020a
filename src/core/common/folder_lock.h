#pragma once
// One program at a time on a data folder: the window and the headless logger would otherwise
// append to the same day file and repair each other's records. The lock is a file in the folder
// holding the holder's program name and process id; the system lets go of it when the holder's
// process ends however it ends, so a crash never leaves the folder locked.
#include <string>
#include <string_view>

namespace kalvo {

inline constexpr char kFolderLockFileName[] = ".kalvo.lock";

class FolderLock {
  public:
    enum class Outcome {
        kTaken,        // this process holds the folder until the object goes
        kHeld,         // another process holds it; Holder() names it
        kUnavailable,  // no lock file could be made there (Why() says why); nothing is held
    };

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Creates `folder` (and its parents) when missing, then takes its lock without waiting.
    // `program` is what a refused second program is told ("kalvo-logger").
    Outcome Take(const std::string& folder, std::string_view program);
    void Release();
    bool Held() const { return fd_ >= 0; }

    // After kHeld: "kalvo-logger (process 1234)", or "another program" when the file names
    // nobody readable.
    const std::string& Holder() const { return holder_; }
    // After kUnavailable: the path and the system's reason.
    const std::string& Why() const { return why_; }

  private:
    int fd_ = -1;
    std::string holder_;
    std::string why_;
};

// The lock file's content for a holder: "<program> <pid>\n".
std::string FolderLockContent(std::string_view program, long pid);
// The holder named by a lock file's content (see Holder()); only printable ASCII of the name is
// kept, so a damaged file cannot put control characters on a terminal.
std::string FolderLockHolder(std::string_view content);
// What the refused program says before it exits with code 1.
std::u16string FolderInUseText(const std::string& folder, const std::string& holder);

}  // namespace kalvo
