#include "drivers/serial/serial_api.h"

#include <atomic>

#include "drivers/serial/serial_driver.h"

namespace kalvo::serial {
namespace {

std::atomic<SerialDriver*> g_driver{nullptr};

// One table entry: forwards to the active driver, or answers `kNone` without one.
template <auto Method, FT_STATUS kNone, typename Fn>
struct Forward;
template <auto Method, FT_STATUS kNone, typename... Args>
struct Forward<Method, kNone, FT_STATUS (*)(Args...)> {
    static FT_STATUS Call(Args... args) {
        SerialDriver* driver = g_driver.load();
        return driver ? (driver->*Method)(args...) : kNone;
    }
};

// Reads and writes also report a count of 0 without a driver.
template <auto Method>
FT_STATUS Transfer(FT_HANDLE handle, void* buffer, DWORD n, DWORD* count) {
    if (count) *count = 0;
    return Forward<Method, FT_INVALID_HANDLE, PFN_FT_Read>::Call(handle, buffer, n, count);
}

const D2xxApi kApi{
    Forward<&SerialDriver::Open, FT_DEVICE_NOT_FOUND, PFN_FT_Open>::Call,
    Forward<&SerialDriver::Close, FT_INVALID_HANDLE, PFN_FT_Close>::Call,
    Forward<&SerialDriver::GetDeviceInfo, FT_INVALID_HANDLE, PFN_FT_GetDeviceInfo>::Call,
    Forward<&SerialDriver::SetDataCharacteristics, FT_INVALID_HANDLE,
            PFN_FT_SetDataCharacteristics>::Call,
    Forward<&SerialDriver::SetBaudRate, FT_INVALID_HANDLE, PFN_FT_SetBaudRate>::Call,
    Forward<&SerialDriver::SetUSBParameters, FT_INVALID_HANDLE, PFN_FT_SetUSBParameters>::Call,
    Forward<&SerialDriver::SetLatencyTimer, FT_INVALID_HANDLE, PFN_FT_SetLatencyTimer>::Call,
    Forward<&SerialDriver::SetTimeouts, FT_INVALID_HANDLE, PFN_FT_SetTimeouts>::Call,
    Forward<&SerialDriver::Purge, FT_INVALID_HANDLE, PFN_FT_Purge>::Call,
    Transfer<&SerialDriver::Write>,
    Transfer<&SerialDriver::Read>,
    Forward<&SerialDriver::ListDevices, FT_DEVICE_NOT_FOUND, PFN_FT_ListDevices>::Call,
};

}  // namespace

const D2xxApi& Api() {
    return kApi;
}

void SetActiveDriver(SerialDriver* driver) {
    g_driver.store(driver);
}

}  // namespace kalvo::serial
