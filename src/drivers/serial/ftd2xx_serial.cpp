// The drop-in driver: the D2XX C functions over the serial ports of this machine, chosen at the
// first call from sysfs ($KALVO_SYSFS_ROOT, default /sys) and $KALVO_SERIAL_PORTS.
#include <memory>
#include <mutex>
#include <type_traits>

#include "drivers/serial/serial_api.h"
#include "drivers/serial/serial_driver.h"

namespace kalvo::serial {
namespace {

struct Holder {
    std::unique_ptr<SerialDriver> driver;
    // A program closing its bridge from a static destructor after ours finds no driver.
    ~Holder() { SetActiveDriver(nullptr); }
};

const D2xxApi& Table() {
    static Holder holder;
    static std::once_flag once;
    std::call_once(once, [] {
        holder.driver = std::make_unique<SerialDriver>(PortSourcesFromEnvironment());
        SetActiveDriver(holder.driver.get());
    });
    return Api();
}

}  // namespace
}  // namespace kalvo::serial

#define KALVO_EXPORT extern "C" __attribute__((visibility("default")))

using kalvo::DWORD;
using kalvo::FT_HANDLE;
using kalvo::FT_STATUS;
using kalvo::UCHAR;
using kalvo::ULONG;
using kalvo::serial::Table;

KALVO_EXPORT FT_STATUS FT_Open(int index, FT_HANDLE* handle) {
    return Table().Open(index, handle);
}
KALVO_EXPORT FT_STATUS FT_Close(FT_HANDLE handle) {
    return Table().Close(handle);
}
KALVO_EXPORT FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial,
                                        char* description, void* reserved) {
    return Table().GetDeviceInfo(handle, type, id, serial, description, reserved);
}
KALVO_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop,
                                                 UCHAR parity) {
    return Table().SetDataCharacteristics(handle, bits, stop, parity);
}
KALVO_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baud) {
    return Table().SetBaudRate(handle, baud);
}
KALVO_EXPORT FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, ULONG in_size, ULONG out_size) {
    return Table().SetUSBParameters(handle, in_size, out_size);
}
KALVO_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    return Table().SetLatencyTimer(handle, ms);
}
KALVO_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms) {
    return Table().SetTimeouts(handle, read_ms, write_ms);
}
KALVO_EXPORT FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) {
    return Table().Purge(handle, mask);
}
KALVO_EXPORT FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, DWORD n, DWORD* written) {
    return Table().Write(handle, buffer, n, written);
}
KALVO_EXPORT FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
    return Table().Read(handle, buffer, n, got);
}
KALVO_EXPORT FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags) {
    return Table().ListDevices(arg1, arg2, flags);
}

// The exports must keep the signatures the program's table expects.
static_assert(std::is_same_v<decltype(&FT_Open), kalvo::PFN_FT_Open>);
static_assert(std::is_same_v<decltype(&FT_Close), kalvo::PFN_FT_Close>);
static_assert(std::is_same_v<decltype(&FT_GetDeviceInfo), kalvo::PFN_FT_GetDeviceInfo>);
static_assert(
    std::is_same_v<decltype(&FT_SetDataCharacteristics), kalvo::PFN_FT_SetDataCharacteristics>);
static_assert(std::is_same_v<decltype(&FT_SetBaudRate), kalvo::PFN_FT_SetBaudRate>);
static_assert(std::is_same_v<decltype(&FT_SetUSBParameters), kalvo::PFN_FT_SetUSBParameters>);
static_assert(std::is_same_v<decltype(&FT_SetLatencyTimer), kalvo::PFN_FT_SetLatencyTimer>);
static_assert(std::is_same_v<decltype(&FT_SetTimeouts), kalvo::PFN_FT_SetTimeouts>);
static_assert(std::is_same_v<decltype(&FT_Purge), kalvo::PFN_FT_Purge>);
static_assert(std::is_same_v<decltype(&FT_Write), kalvo::PFN_FT_Write>);
static_assert(std::is_same_v<decltype(&FT_Read), kalvo::PFN_FT_Read>);
static_assert(std::is_same_v<decltype(&FT_ListDevices), kalvo::PFN_FT_ListDevices>);
