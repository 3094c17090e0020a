#pragma once
// FT_ListDevices as our own drivers answer it: the flags decide what the two arguments hold.
#include <cstddef>
#include <cstring>
#include <string>

#include "core/device/d2xx.h"

namespace kalvo {

constexpr DWORD FT_LIST_ALL = 0x20000000u;  // arg1: array of buffers, arg2: out count
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;

// text_of(index, flags) gives device index's serial or description (per the flags), or nullptr
// when the flags ask for neither. Texts fit the driver's buffers (15 and 63 bytes).
template <class TextOf>
FT_STATUS AnswerListDevices(void* arg1, void* arg2, DWORD flags, size_t count, TextOf text_of) {
    auto copy = [](const std::string& s, void* out) { std::memcpy(out, s.c_str(), s.size() + 1); };
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (!arg1) return FT_INVALID_PARAMETER;
        *static_cast<DWORD*>(arg1) = DWORD(count);
        return FT_OK;
    }
    if (flags & FT_LIST_BY_INDEX) {
        const auto index = reinterpret_cast<uintptr_t>(arg1);
        if (!arg2) return FT_INVALID_PARAMETER;
        if (index >= count) return FT_DEVICE_NOT_FOUND;
        const std::string* s = text_of(size_t(index), flags);
        if (!s) return FT_INVALID_PARAMETER;
        copy(*s, arg2);
        return FT_OK;
    }
    if (flags & FT_LIST_ALL) {
        if (!arg1) return FT_INVALID_PARAMETER;
        auto** buffers = static_cast<char**>(arg1);
        for (size_t i = 0; i < count; ++i) {
            const std::string* s = text_of(i, flags);
            if (!s || !buffers[i]) return FT_INVALID_PARAMETER;
            copy(*s, buffers[i]);
        }
        if (arg2) *static_cast<DWORD*>(arg2) = DWORD(count);
        return FT_OK;
    }
    return FT_INVALID_PARAMETER;
}

}  // namespace kalvo
