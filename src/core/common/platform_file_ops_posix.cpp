#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/common/file_ops.h"

namespace kalvo::SHELL {

namespace {
constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;
}  // namespace

int FileOps::Open(const std::string& path, Access access) {
    // O_NONBLOCK keeps a FIFO from stalling the open; only regular files are accepted below.
    const int flags = access == Access::kWrite ? (O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK)
                                               : (O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    // No sharing: a second holder (this program or another) is refused, not waited for.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool FileOps::Close(int handle) {
    // Not retried on EINTR: the descriptor is gone either way. Closing also drops the lock.
    return handle < 0 || ::close(handle) == 0;
}

bool FileOps::Size(int handle, uint64_t* size) {
    struct stat st {};
    if (::fstat(handle, &st) != 0 || st.st_size < 0) return false;
    *size = uint64_t(st.st_size);
    return true;
}

int64_t FileOps::Read(int handle, void* buffer, size_t n) {
    auto* p = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::read(handle, p + done, n - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += size_t(got);
    }
    return int64_t(done);
}

bool FileOps::Write(int handle, const void* data, size_t n) {
    const auto* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < n) {
        const ssize_t put = ::write(handle, p + done, n - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) return false;
        done += size_t(put);
    }
    return true;
}

bool FileOps::SeekEnd(int handle, uint64_t* position) {
    const off_t pos = ::lseek(handle, 0, SEEK_END);
    if (pos < 0) return false;
    *position = uint64_t(pos);
    return true;
}

bool FileOps::Truncate(int handle, uint64_t size) {
    int rc;
    do {
        rc = ::ftruncate(handle, off_t(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool FileOps::Sync(int handle) {
    int rc;
    do {
        rc = ::fdatasync(handle);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool FileOps::Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool FileOps::IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileOps::MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    // Another process may have made it meanwhile.
    return errno == EEXIST && IsFolder(path);
}

bool FileOps::SetAttributes(const std::string& path, Attributes attributes) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    mode_t mode = st.st_mode & 07777;
    // Read-only takes every write bit away; the writable state gives the owner's back.
    mode = attributes == Attributes::kReadOnly ? (mode & ~kWriteBits) : (mode | S_IWUSR);
    return ::chmod(path.c_str(), mode) == 0;
}

bool FileOps::IsReadOnly(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & kWriteBits) == 0;
}

bool LocalTime(int64_t seconds, std::tm* out) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    return localtime_r(&t, out) != nullptr;
}

FileOps& DefaultFileOps() {
    static FileOps ops;
    return ops;
}

}  // namespace kalvo::SHELL
