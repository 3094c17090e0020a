#pragma once
// The one D2XX front of our drivers. The twelve functions, their pointer checks, the FT232R
// parameter rules and the status codes live here; a driver supplies only what its bridges do,
// through four hooks and a Port.
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/device/d2xx.h"
#include "drivers/front/ft232r.h"

namespace kalvo::front {

// One open bridge for the length of one call. Arguments reaching it have passed the FT232R
// rules; pointers are valid (`bytes` may be null only when n is 0) and counts start at 0.
class Port {
  public:
    struct Info {
        ULONG type = FT_DEVICE_232R;
        DWORD usb_id = 0;              // vendor << 16 | product
        std::string_view serial;       // at most ft232r::kSerialBytes
        std::string_view description;  // at most ft232r::kDescriptionBytes
    };
    virtual Info Describe() = 0;
    virtual FT_STATUS SetDataCharacteristics(UCHAR bits, UCHAR stop, UCHAR parity) = 0;
    virtual FT_STATUS SetBaudRate(ULONG baud) = 0;
    virtual FT_STATUS SetUSBParameters(ULONG in_size, ULONG out_size) = 0;
    virtual FT_STATUS SetLatencyTimer(UCHAR ms) = 0;
    virtual FT_STATUS SetTimeouts(ULONG read_ms, ULONG write_ms) = 0;
    virtual FT_STATUS Purge(ULONG mask) = 0;
    virtual FT_STATUS Write(const uint8_t* bytes, DWORD n, DWORD* written) = 0;
    virtual FT_STATUS Read(uint8_t* bytes, DWORD n, DWORD* got) = 0;

  protected:
    ~Port() = default;
};

class PortUse;

// Anything that answers a Port with a status (but a PortUse itself, which is copied).
template <class F>
concept PortCall =
    std::is_invocable_r_v<FT_STATUS, F&, Port&> && !std::is_same_v<std::remove_cvref_t<F>, PortUse>;

// A callable borrowed for one WithPort call: no copy, no allocation.
class PortUse {
  public:
    template <PortCall F>
    PortUse(F&& f)  // implicit, so that WithPort takes a lambda as it is
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, Port& p) -> FT_STATUS {
              return (*static_cast<std::remove_reference_t<F>*>(o))(p);
          }) {}
    FT_STATUS operator()(Port& port) const { return call_(object_, port); }

  private:
    void* object_;
    FT_STATUS (*call_)(void*, Port&);
};

// A bridge as FT_ListDevices names it.
struct Listed {
    std::string serial;
    std::string description;
};

// The D2XX functions as one driver offers them. The public functions are the front; a driver
// derives and implements the hooks.
class Driver {
  public:
    virtual ~Driver() = default;

    FT_STATUS Open(int index, FT_HANDLE* handle);
    FT_STATUS Close(FT_HANDLE handle);
    FT_STATUS GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial,
                            char* description, void* reserved);
    FT_STATUS SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop, UCHAR parity);
    FT_STATUS SetBaudRate(FT_HANDLE handle, ULONG baud);
    FT_STATUS SetUSBParameters(FT_HANDLE handle, ULONG in_size, ULONG out_size);
    FT_STATUS SetLatencyTimer(FT_HANDLE handle, UCHAR ms);
    FT_STATUS SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms);
    FT_STATUS Purge(FT_HANDLE handle, ULONG mask);
    FT_STATUS Write(FT_HANDLE handle, void* buffer, DWORD n, DWORD* written);
    FT_STATUS Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got);
    FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags);

  protected:
    // Opens the index-th bridge present; `handle` is not null.
    virtual FT_STATUS OpenBridge(int index, FT_HANDLE* handle) = 0;
    virtual FT_STATUS CloseBridge(FT_HANDLE handle) = 0;
    // Returns what `use` returns for the bridge behind `handle`, or without calling it
    // FT_INVALID_HANDLE (not an open handle) or FT_IO_ERROR (the bridge is gone).
    virtual FT_STATUS WithPort(FT_HANDLE handle, PortUse use) = 0;
    // The bridges present, in the order Open numbers them.
    virtual std::vector<Listed> ListBridges() = 0;
};

using DriverOf = Driver* (*)();

// The D2XX functions over the driver `Of` names at each call. Without one they answer as a
// driver without bridges: nothing found, every handle invalid, counts 0.
template <DriverOf Of>
struct Entry {
    static FT_STATUS Open(int index, FT_HANDLE* handle) {
        Driver* d = Of();
        return d ? d->Open(index, handle) : FT_DEVICE_NOT_FOUND;
    }
    static FT_STATUS Close(FT_HANDLE handle) {
        Driver* d = Of();
        return d ? d->Close(handle) : FT_INVALID_HANDLE;
    }
    static FT_STATUS GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial,
                                   char* description, void* reserved) {
        Driver* d = Of();
        return d ? d->GetDeviceInfo(handle, type, id, serial, description, reserved)
                 : FT_INVALID_HANDLE;
    }
    static FT_STATUS SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop,
                                            UCHAR parity) {
        Driver* d = Of();
        return d ? d->SetDataCharacteristics(handle, bits, stop, parity) : FT_INVALID_HANDLE;
    }
    static FT_STATUS SetBaudRate(FT_HANDLE handle, ULONG baud) {
        Driver* d = Of();
        return d ? d->SetBaudRate(handle, baud) : FT_INVALID_HANDLE;
    }
    static FT_STATUS SetUSBParameters(FT_HANDLE handle, ULONG in_size, ULONG out_size) {
        Driver* d = Of();
        return d ? d->SetUSBParameters(handle, in_size, out_size) : FT_INVALID_HANDLE;
    }
    static FT_STATUS SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
        Driver* d = Of();
        return d ? d->SetLatencyTimer(handle, ms) : FT_INVALID_HANDLE;
    }
    static FT_STATUS SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms) {
        Driver* d = Of();
        return d ? d->SetTimeouts(handle, read_ms, write_ms) : FT_INVALID_HANDLE;
    }
    static FT_STATUS Purge(FT_HANDLE handle, ULONG mask) {
        Driver* d = Of();
        return d ? d->Purge(handle, mask) : FT_INVALID_HANDLE;
    }
    static FT_STATUS Write(FT_HANDLE handle, void* buffer, DWORD n, DWORD* written) {
        Driver* d = Of();
        if (!d && written) *written = 0;
        return d ? d->Write(handle, buffer, n, written) : FT_INVALID_HANDLE;
    }
    static FT_STATUS Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
        Driver* d = Of();
        if (!d && got) *got = 0;
        return d ? d->Read(handle, buffer, n, got) : FT_INVALID_HANDLE;
    }
    static FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags) {
        Driver* d = Of();
        return d ? d->ListDevices(arg1, arg2, flags) : FT_DEVICE_NOT_FOUND;
    }

    // For the program's binding and for tests that run a driver in-process.
    static constexpr D2xxApi kTable{Open,
                                    Close,
                                    GetDeviceInfo,
                                    SetDataCharacteristics,
                                    SetBaudRate,
                                    SetUSBParameters,
                                    SetLatencyTimer,
                                    SetTimeouts,
                                    Purge,
                                    Write,
                                    Read,
                                    ListDevices};
};

// The driver behind a drop-in library's exported functions; each drop-in library defines it.
Driver* ExportedDriver();

}  // namespace kalvo::front
