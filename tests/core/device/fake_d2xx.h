#pragma once
// A scripted driver: records every call and answers as a bridge on a 1-Wire line would, with
// read answers taken from queues the test fills. One fake is active at a time.
#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/common/clock.h"
#include "core/common/status_bar.h"
#include "core/device/d2xx.h"
#include "core/device/rom_code.h"

namespace kalvo::test {

struct FakeD2xx {
    struct Device {
        std::string serial = "FT000001", description = "FT232R USB UART";
        ULONG type = FT_DEVICE_232R;
        bool open_fails = false, info_fails = false, description_fails = false,
             serial_fails = false;
    };

    FakeD2xx();
    ~FakeD2xx();
    static const D2xxApi& Api();
    static FT_HANDLE HandleOf(int index) {
        return reinterpret_cast<FT_HANDLE>(uintptr_t(0x1000 + index));
    }

    // Calls as "Name args", e.g. "SetBaudRate 9600", "Write 3: FF 00 FF".
    std::vector<std::string> calls;
    size_t Count(const std::string& prefix) const;
    std::vector<std::vector<uint8_t>> writes;  // bytes of every Write
    // Bytes sent as eight-slot transfers from write number `from` on, one byte per transfer.
    std::vector<uint8_t> SentBytes(size_t from) const;

    std::vector<Device> devices;
    bool count_fails = false;
    FT_STATUS close_status = FT_OK;
    std::string failing_call;  // a configuration call that returns an error
    std::set<FT_HANDLE> open_handles;

    // The line: presence answers a reset at 9600 baud; an eight-slot all-ones transfer takes
    // its answer from byte_reads, a one-slot 0xFF from bit_reads (a zero echoes 0xFE, never
    // 0xFF), else 0x00 when line_busy, else the echo is what was sent.
    bool presence = true, line_busy = false;
    std::deque<uint8_t> byte_reads;
    std::deque<bool> bit_reads;
    size_t read_limit = SIZE_MAX;  // bytes any read returns at most
    std::function<void(size_t write_index, std::vector<uint8_t>& echo)> tamper;
    ManualClock* clock = nullptr;  // advanced by latency_ms at every read
    int64_t latency_ms = 0;
    ULONG baud = 0;

    // The answers a wired-AND bus of these devices gives to a whole inventory.
    void QueueInventory(const std::vector<RomCode>& codes);
    // The answers of one SEARCH ROM pass ending on `code`, both bits 0 at `discrepancies`.
    void QueueSearchPass(RomCode code, const std::vector<int>& discrepancies);

    std::vector<uint8_t> echo;
};

std::string HexBytes(const std::vector<uint8_t>& bytes);
// A ROM code with a correct CRC byte.
RomCode Rom(uint8_t family, uint64_t serial);
using PaneText = std::pair<int, std::u16string>;
std::vector<PaneText> TextsOf(const RecordingStatusBar& bar);

}  // namespace kalvo::test
