#include "core/scenario/scenario_shell.h"

namespace kalvo::SHELL {

CScenarioFile::~CScenarioFile() {
    Close();
}

bool CScenarioFile::Open(const std::string& path, Mode mode) {
    Close();
    const bool reading = mode == Mode::kReadExisting;
    handle_ = ops_.Open(path, reading ? FileOps::Access::kRead : FileOps::Access::kWrite);
    if (handle_ < 0) return false;
    // Emptied only once the lock is ours, so a file somebody else holds is left whole.
    if (!reading && !ops_.Truncate(handle_, 0)) {
        Close();
        return false;
    }
    return true;
}

bool CScenarioFile::Close() {
    if (handle_ < 0) return true;
    const int handle = handle_;
    handle_ = -1;
    return ops_.Close(handle);
}

int64_t CScenarioFile::Size() {
    uint64_t size = 0;
    if (handle_ < 0 || !ops_.Size(handle_, &size) || size > uint64_t(INT64_MAX)) return -1;
    return int64_t(size);
}

bool CScenarioFile::ReadExact(void* data, size_t size) {
    return handle_ >= 0 && ops_.Read(handle_, data, size) == int64_t(size);
}

bool CScenarioFile::WriteAll(const void* data, size_t size) {
    return handle_ >= 0 && ops_.Write(handle_, data, size);
}

}  // namespace kalvo::SHELL
