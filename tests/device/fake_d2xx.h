#pragma once
// A scripted driver: records every call and answers as a bridge on a 1-Wire line would, with
// read answers taken from queues the test fills. One fake is active at a time.
#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/clock.h"
#include "device/d2xx.h"
#include "device/rom_code.h"

namespace kalvo::test {

class FakeD2xx {
  public:
    struct Device {
        std::string serial = "FT000001";
        std::string description = "FT232R USB UART";
        ULONG type = FT_DEVICE_232R;
        bool open_fails = false;
        bool info_fails = false;
        bool description_fails = false;
        bool serial_fails = false;
    };

    FakeD2xx();
    ~FakeD2xx();
    FakeD2xx(const FakeD2xx&) = delete;
    FakeD2xx& operator=(const FakeD2xx&) = delete;

    static const D2xxApi& Api();
    static FT_HANDLE HandleOf(int index) {
        return reinterpret_cast<FT_HANDLE>(uintptr_t(0x1000 + index));
    }

    // Calls as "Name arg arg", e.g. "SetBaudRate 9600", "Write 3: FF 00 FF".
    std::vector<std::string> calls;
    std::vector<std::string> CallsNamed(const std::string& name) const;
    void ClearCalls() { calls.clear(); }
    // Bytes of every Write, in order.
    std::vector<std::vector<uint8_t>> writes;

    // Bridges.
    std::vector<Device> devices;
    bool count_fails = false;
    FT_STATUS close_status = FT_OK;
    // A configuration call (by name) that returns this error.
    std::string failing_call;
    std::set<FT_HANDLE> open_handles;

    // The line.
    bool presence = true;
    bool line_busy = false;          // single read slots echo 0 when no bit is queued
    std::deque<uint8_t> byte_reads;  // answers of eight-slot 0xFF transfers
    std::deque<bool> bit_reads;      // answers of one-slot 0xFF transfers
    size_t read_limit = SIZE_MAX;    // bytes any read returns at most
    // Sees the echo of write number `index` (from 0) before it is read back.
    std::function<void(size_t index, std::vector<uint8_t>& echo)> tamper;
    // Advanced by `latency_ms` at every read, so conversion waits run on a manual clock.
    ManualClock* clock = nullptr;
    int64_t latency_ms = 0;

    ULONG baud = 0;

    // Queues the answers of one SEARCH ROM pass that ends on `code`: at the positions listed
    // in `discrepancies` both bits read 0, elsewhere the code's bit and its complement.
    void QueueSearchPass(RomCode code, const std::vector<int>& discrepancies = {});
    // Queues the answers a wired-AND bus of these devices gives to a whole inventory.
    void QueueInventory(const std::vector<RomCode>& codes);
    // Queues bytes for read-byte transfers.
    void QueueBytes(std::initializer_list<uint8_t> bytes);

    // Entry points behind the trampolines.
    FT_STATUS Open(int index, FT_HANDLE* handle);
    FT_STATUS Close(FT_HANDLE handle);
    FT_STATUS GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial, char* desc,
                            void* reserved);
    FT_STATUS SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop, UCHAR parity);
    FT_STATUS SetBaudRate(FT_HANDLE handle, ULONG rate);
    FT_STATUS SetUSBParameters(FT_HANDLE handle, ULONG in, ULONG out);
    FT_STATUS SetLatencyTimer(FT_HANDLE handle, UCHAR ms);
    FT_STATUS SetTimeouts(FT_HANDLE handle, ULONG read, ULONG write);
    FT_STATUS Purge(FT_HANDLE handle, ULONG mask);
    FT_STATUS Write(FT_HANDLE handle, void* data, DWORD n, DWORD* written);
    FT_STATUS Read(FT_HANDLE handle, void* data, DWORD n, DWORD* got);
    FT_STATUS ListDevices(void* a1, void* a2, DWORD flags);

  private:
    FT_STATUS Configured(const std::string& name, FT_HANDLE handle);
    std::vector<uint8_t> echo_;
};

// "FF 00 FF"
std::string HexBytes(const std::vector<uint8_t>& bytes);

}  // namespace kalvo::test

#include "common/status_bar.h"

namespace kalvo::test {

// The texts a recording status bar received, in a form matchers can compare.
using PaneText = std::pair<int, std::u16string>;
std::vector<PaneText> TextsOf(const RecordingStatusBar& bar);

}  // namespace kalvo::test

namespace kalvo::test {

// A ROM code with a correct CRC byte.
RomCode Rom(uint8_t family, uint64_t serial);

}  // namespace kalvo::test
