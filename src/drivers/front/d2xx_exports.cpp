// The D2XX C functions of a drop-in libftd2xx.so, over the driver the library names through
// front::ExportedDriver(). kalvo_d2xx_driver() in CMakeLists.txt compiles this file into each
// drop-in library; the version script keeps everything else inside.
#include <type_traits>

#include "drivers/front/d2xx_front.h"

#define KALVO_D2XX_EXPORT extern "C" __attribute__((visibility("default")))

using kalvo::DWORD;
using kalvo::FT_HANDLE;
using kalvo::FT_STATUS;
using kalvo::UCHAR;
using kalvo::ULONG;
using Exported = kalvo::front::Entry<&kalvo::front::ExportedDriver>;

KALVO_D2XX_EXPORT FT_STATUS FT_Open(int index, FT_HANDLE* handle) {
    return Exported::Open(index, handle);
}
KALVO_D2XX_EXPORT FT_STATUS FT_Close(FT_HANDLE handle) {
    return Exported::Close(handle);
}
KALVO_D2XX_EXPORT FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial,
                                             char* description, void* reserved) {
    return Exported::GetDeviceInfo(handle, type, id, serial, description, reserved);
}
KALVO_D2XX_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop,
                                                      UCHAR parity) {
    return Exported::SetDataCharacteristics(handle, bits, stop, parity);
}
KALVO_D2XX_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baud) {
    return Exported::SetBaudRate(handle, baud);
}
KALVO_D2XX_EXPORT FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, ULONG in_size, ULONG out_size) {
    return Exported::SetUSBParameters(handle, in_size, out_size);
}
KALVO_D2XX_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    return Exported::SetLatencyTimer(handle, ms);
}
KALVO_D2XX_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms) {
    return Exported::SetTimeouts(handle, read_ms, write_ms);
}
KALVO_D2XX_EXPORT FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) {
    return Exported::Purge(handle, mask);
}
KALVO_D2XX_EXPORT FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, DWORD n, DWORD* written) {
    return Exported::Write(handle, buffer, n, written);
}
KALVO_D2XX_EXPORT FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
    return Exported::Read(handle, buffer, n, got);
}
KALVO_D2XX_EXPORT FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags) {
    return Exported::ListDevices(arg1, arg2, flags);
}

// The program binds these by name into a D2xxApi: each export must have the type of its member,
// and the table must have no member without an export.
using kalvo::D2xxApi;
static_assert(std::is_same_v<decltype(&FT_Open), decltype(D2xxApi::Open)>);
static_assert(std::is_same_v<decltype(&FT_Close), decltype(D2xxApi::Close)>);
static_assert(std::is_same_v<decltype(&FT_GetDeviceInfo), decltype(D2xxApi::GetDeviceInfo)>);
static_assert(std::is_same_v<decltype(&FT_SetDataCharacteristics),
                             decltype(D2xxApi::SetDataCharacteristics)>);
static_assert(std::is_same_v<decltype(&FT_SetBaudRate), decltype(D2xxApi::SetBaudRate)>);
static_assert(std::is_same_v<decltype(&FT_SetUSBParameters), decltype(D2xxApi::SetUSBParameters)>);
static_assert(std::is_same_v<decltype(&FT_SetLatencyTimer), decltype(D2xxApi::SetLatencyTimer)>);
static_assert(std::is_same_v<decltype(&FT_SetTimeouts), decltype(D2xxApi::SetTimeouts)>);
static_assert(std::is_same_v<decltype(&FT_Purge), decltype(D2xxApi::Purge)>);
static_assert(std::is_same_v<decltype(&FT_Write), decltype(D2xxApi::Write)>);
static_assert(std::is_same_v<decltype(&FT_Read), decltype(D2xxApi::Read)>);
static_assert(std::is_same_v<decltype(&FT_ListDevices), decltype(D2xxApi::ListDevices)>);
static_assert(sizeof(D2xxApi) == 12 * sizeof(void (*)()), "a D2xxApi member has no export");
