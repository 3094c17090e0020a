#pragma once
// Our own declarations of the D2XX driver functions and constants the program uses. The
// driver itself is bound by name at run time (d2xx_binding.h); tests inject scripted fakes.
#include <cstdint>

namespace kalvo {

using FT_HANDLE = void*;
using FT_STATUS = uint32_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using UCHAR = uint8_t;

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_OTHER_ERROR = 18;

constexpr ULONG FT_DEVICE_232R = 5;
constexpr UCHAR FT_BITS_8 = 8;
constexpr UCHAR FT_STOP_BITS_1 = 0;
constexpr UCHAR FT_PARITY_NONE = 0;
constexpr ULONG FT_PURGE_RX = 1;
constexpr ULONG FT_PURGE_TX = 2;

constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000u;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000u;
constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;

// The handle value the program uses for "no bridge open".
inline FT_HANDLE const NOT_OPEN = reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>(1));

extern "C" {
using PFN_FT_Open = FT_STATUS (*)(int, FT_HANDLE*);
using PFN_FT_Close = FT_STATUS (*)(FT_HANDLE);
using PFN_FT_GetDeviceInfo = FT_STATUS (*)(FT_HANDLE, ULONG*, DWORD*, char*, char*, void*);
using PFN_FT_SetDataCharacteristics = FT_STATUS (*)(FT_HANDLE, UCHAR, UCHAR, UCHAR);
using PFN_FT_SetBaudRate = FT_STATUS (*)(FT_HANDLE, ULONG);
using PFN_FT_SetUSBParameters = FT_STATUS (*)(FT_HANDLE, ULONG, ULONG);
using PFN_FT_SetLatencyTimer = FT_STATUS (*)(FT_HANDLE, UCHAR);
using PFN_FT_SetTimeouts = FT_STATUS (*)(FT_HANDLE, ULONG, ULONG);
using PFN_FT_Purge = FT_STATUS (*)(FT_HANDLE, ULONG);
using PFN_FT_Write = FT_STATUS (*)(FT_HANDLE, void*, DWORD, DWORD*);
using PFN_FT_Read = FT_STATUS (*)(FT_HANDLE, void*, DWORD, DWORD*);
using PFN_FT_ListDevices = FT_STATUS (*)(void*, void*, DWORD);
}

// The table of driver functions. Every entry is callable; the real binding resolves each one at
// its first call.
struct D2xxApi {
    PFN_FT_Open Open;
    PFN_FT_Close Close;
    PFN_FT_GetDeviceInfo GetDeviceInfo;
    PFN_FT_SetDataCharacteristics SetDataCharacteristics;
    PFN_FT_SetBaudRate SetBaudRate;
    PFN_FT_SetUSBParameters SetUSBParameters;
    PFN_FT_SetLatencyTimer SetLatencyTimer;
    PFN_FT_SetTimeouts SetTimeouts;
    PFN_FT_Purge Purge;
    PFN_FT_Write Write;
    PFN_FT_Read Read;
    PFN_FT_ListDevices ListDevices;
};

}  // namespace kalvo
