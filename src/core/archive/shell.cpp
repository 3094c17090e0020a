#include "core/archive/shell.h"

namespace kalvo::SHELL {

CShell::~CShell() {
    Close();
}

bool CShell::OpenForWriting(const std::string& path) {
    Close();
    handle_ = ops_.Open(path, FileOps::Access::kWrite);
    return handle_ >= 0;
}

bool CShell::OpenForReading(const std::string& path) {
    Close();
    handle_ = ops_.Open(path, FileOps::Access::kRead);
    return handle_ >= 0;
}

void CShell::Close() {
    if (handle_ >= 0) ops_.Close(handle_);
    handle_ = -1;
}

bool CShell::Size(uint64_t* size) {
    return IsOpen() && ops_.Size(handle_, size);
}

bool CShell::SeekEnd(uint64_t* position) {
    return IsOpen() && ops_.SeekEnd(handle_, position);
}

bool CShell::Truncate(uint64_t size) {
    return IsOpen() && ops_.Truncate(handle_, size);
}

int64_t CShell::Read(void* buffer, size_t n) {
    return IsOpen() ? ops_.Read(handle_, buffer, n) : -1;
}

bool CShell::Write(const void* data, size_t n) {
    return IsOpen() && ops_.Write(handle_, data, n);
}

bool CShell::Sync() {
    return IsOpen() && ops_.Sync(handle_);
}

}  // namespace kalvo::SHELL
