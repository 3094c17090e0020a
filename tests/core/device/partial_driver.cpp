// A driver library that lacks most functions: it lists three devices and opens them, no more.
#include <cstdint>

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT uint32_t FT_ListDevices(void* a1, void*, uint32_t flags) {
    if (flags != 0x80000000u) return 18;
    *static_cast<uint32_t*>(a1) = 3;
    return 0;
}

EXPORT uint32_t FT_Open(int index, void** handle) {
    *handle = reinterpret_cast<void*>(uintptr_t(0x100 + index));
    return 0;
}
