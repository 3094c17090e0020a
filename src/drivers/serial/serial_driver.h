#pragma once
// The D2XX operations over serial terminals. Handles are numbers handed out once and never
// reused, so a stale or made-up handle is refused instead of followed.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/device/d2xx.h"
#include "drivers/serial/bridge_list.h"

namespace kalvo::serial {

// D2XX status values used here besides those in device/d2xx.h.
constexpr FT_STATUS kFtInvalidParameter = 6;
constexpr FT_STATUS kFtInvalidBaudRate = 7;
constexpr DWORD kFtListAll = 0x20000000;  // every device at once: arg1 buffers, arg2 count

class SerialDriver {
  public:
    explicit SerialDriver(PortSources sources);
    ~SerialDriver();
    SerialDriver(const SerialDriver&) = delete;
    SerialDriver& operator=(const SerialDriver&) = delete;

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

  private:
    struct OpenPort;
    // The port behind a handle; null with *status set for an unknown handle or a port gone.
    std::shared_ptr<OpenPort> Find(FT_HANDLE handle, FT_STATUS* status) const;
    void NoteLatency(const std::string& port, const std::string& why);

    const PortSources sources_;
    mutable std::mutex mutex_;  // guards the handle table only
    std::map<uintptr_t, std::shared_ptr<OpenPort>> ports_;
    uintptr_t next_handle_ = 0x5000;
    std::atomic<bool> latency_noted_{false};
};

}  // namespace kalvo::serial
