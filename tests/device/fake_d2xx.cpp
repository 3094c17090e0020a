#include "fake_d2xx.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kalvo::test {
namespace {

FakeD2xx* g_current = nullptr;

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char buf[128];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

}  // namespace

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t b : bytes) text += (text.empty() ? "" : " ") + Format("%02X", b);
    return text;
}

FakeD2xx::FakeD2xx() {
    g_current = this;
}
FakeD2xx::~FakeD2xx() {
    g_current = nullptr;
}

const D2xxApi& FakeD2xx::Api() {
    static const D2xxApi api = {
        [](int i, FT_HANDLE* h) { return g_current->Open(i, h); },
        [](FT_HANDLE h) { return g_current->Close(h); },
        [](FT_HANDLE h, ULONG* t, DWORD* id, char* s, char* d, void* r) {
            return g_current->GetDeviceInfo(h, t, id, s, d, r);
        },
        [](FT_HANDLE h, UCHAR b, UCHAR s, UCHAR p) {
            return g_current->SetDataCharacteristics(h, b, s, p);
        },
        [](FT_HANDLE h, ULONG r) { return g_current->SetBaudRate(h, r); },
        [](FT_HANDLE h, ULONG i, ULONG o) { return g_current->SetUSBParameters(h, i, o); },
        [](FT_HANDLE h, UCHAR ms) { return g_current->SetLatencyTimer(h, ms); },
        [](FT_HANDLE h, ULONG r, ULONG w) { return g_current->SetTimeouts(h, r, w); },
        [](FT_HANDLE h, ULONG m) { return g_current->Purge(h, m); },
        [](FT_HANDLE h, void* d, DWORD n, DWORD* w) { return g_current->Write(h, d, n, w); },
        [](FT_HANDLE h, void* d, DWORD n, DWORD* g) { return g_current->Read(h, d, n, g); },
        [](void* a1, void* a2, DWORD f) { return g_current->ListDevices(a1, a2, f); },
    };
    return api;
}

std::vector<std::string> FakeD2xx::CallsNamed(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& c : calls)
        if (c.compare(0, name.size() + 1, name + " ") == 0 || c == name) out.push_back(c);
    return out;
}

void FakeD2xx::QueueSearchPass(RomCode code, const std::vector<int>& discrepancies) {
    for (int p = 1; p <= 64; ++p) {
        const bool bit = (code >> (p - 1)) & 1;
        bool both_zero = false;
        for (int d : discrepancies) both_zero |= d == p;
        if (both_zero) {
            bit_reads.push_back(false);
            bit_reads.push_back(false);
        } else {
            bit_reads.push_back(bit);
            bit_reads.push_back(!bit);
        }
        // A direction of 1 is itself a one-slot 0xFF transfer and echoes 0xFF.
        if (bit) bit_reads.push_back(true);
    }
}

void FakeD2xx::QueueInventory(const std::vector<RomCode>& codes) {
    RomCode rom = 0;
    int last_discrepancy = 0;
    do {
        std::vector<RomCode> answering = codes;
        int last_zero = 0;
        for (int p = 1; p <= 64; ++p) {
            bool has0 = false, has1 = false;
            for (RomCode c : answering) ((c >> (p - 1)) & 1 ? has1 : has0) = true;
            bit_reads.push_back(!has0);  // a device with 0 pulls the line low
            bit_reads.push_back(!has1);
            bool direction = has1;
            if (has0 && has1) {
                if (p == last_discrepancy) {
                    direction = true;
                } else if (p > last_discrepancy) {
                    direction = false;
                    last_zero = p;
                } else {
                    direction = (rom >> (p - 1)) & 1;
                    if (!direction) last_zero = p;
                }
            }
            const RomCode mask = RomCode(1) << (p - 1);
            rom = direction ? rom | mask : rom & ~mask;
            if (direction) bit_reads.push_back(true);
            std::erase_if(answering, [&](RomCode c) { return bool(c & mask) != direction; });
        }
        last_discrepancy = last_zero;
    } while (last_discrepancy != 0);
}

void FakeD2xx::QueueBytes(std::initializer_list<uint8_t> bytes) {
    byte_reads.insert(byte_reads.end(), bytes.begin(), bytes.end());
}

FT_STATUS FakeD2xx::Open(int index, FT_HANDLE* handle) {
    calls.push_back(Format("Open %d", index));
    if (index < 0 || size_t(index) >= devices.size() || devices[size_t(index)].open_fails)
        return FT_DEVICE_NOT_OPENED;
    *handle = HandleOf(index);
    open_handles.insert(*handle);
    return FT_OK;
}

FT_STATUS FakeD2xx::Close(FT_HANDLE handle) {
    calls.push_back(Format("Close %p", handle));
    if (close_status != FT_OK) return close_status;
    if (!open_handles.erase(handle)) return FT_INVALID_HANDLE;
    return FT_OK;
}

FT_STATUS FakeD2xx::GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial,
                                  char* desc, void* reserved) {
    calls.push_back(Format("GetDeviceInfo %s", reserved ? "non-null" : "null"));
    const size_t index = size_t(reinterpret_cast<uintptr_t>(handle) - 0x1000);
    if (!open_handles.count(handle) || index >= devices.size() || devices[index].info_fails)
        return FT_INVALID_HANDLE;
    *type = devices[index].type;
    *id = 0x04036001;
    std::memset(serial, 'S', 16);  // the program must not rely on these
    std::memset(desc, 'D', 64);
    return FT_OK;
}

FT_STATUS FakeD2xx::Configured(const std::string& name, FT_HANDLE handle) {
    if (!open_handles.count(handle)) return FT_INVALID_HANDLE;
    return name == failing_call ? FT_IO_ERROR : FT_OK;
}

FT_STATUS FakeD2xx::SetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop, UCHAR parity) {
    calls.push_back(Format("SetDataCharacteristics %d %d %d", bits, stop, parity));
    return Configured("SetDataCharacteristics", h);
}

FT_STATUS FakeD2xx::SetBaudRate(FT_HANDLE handle, ULONG rate) {
    calls.push_back(Format("SetBaudRate %u", rate));
    const FT_STATUS status = Configured("SetBaudRate", handle);
    if (status == FT_OK) baud = rate;
    return status;
}

FT_STATUS FakeD2xx::SetUSBParameters(FT_HANDLE handle, ULONG in, ULONG out) {
    calls.push_back(Format("SetUSBParameters %u %u", in, out));
    return Configured("SetUSBParameters", handle);
}

FT_STATUS FakeD2xx::SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    calls.push_back(Format("SetLatencyTimer %d", ms));
    return Configured("SetLatencyTimer", handle);
}

FT_STATUS FakeD2xx::SetTimeouts(FT_HANDLE handle, ULONG read, ULONG write) {
    calls.push_back(Format("SetTimeouts %u %u", read, write));
    return Configured("SetTimeouts", handle);
}

FT_STATUS FakeD2xx::Purge(FT_HANDLE handle, ULONG mask) {
    calls.push_back(Format("Purge %u", mask));
    echo_.clear();
    return Configured("Purge", handle);
}

FT_STATUS FakeD2xx::Write(FT_HANDLE handle, void* data, DWORD n, DWORD* written) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> sent(bytes, bytes + n);
    calls.push_back(Format("Write %u: ", n) + HexBytes(sent));
    const size_t index = writes.size();
    writes.push_back(sent);
    if (!open_handles.count(handle)) return FT_INVALID_HANDLE;

    std::vector<uint8_t> echo = sent;
    const bool all_ones =
        std::all_of(sent.begin(), sent.end(), [](uint8_t b) { return b == 0xFF; });
    if (baud == 9600 && n == 1) {
        if (sent[0] == 0xF0 && presence) echo[0] = 0xE0;
    } else if (n == 8 && all_ones && !byte_reads.empty()) {
        const uint8_t value = byte_reads.front();
        byte_reads.pop_front();
        for (int k = 0; k < 8; ++k) echo[size_t(k)] = (value >> k) & 1 ? 0xFF : 0xFE;
    } else if (n == 1 && sent[0] == 0xFF) {
        if (!bit_reads.empty()) {
            echo[0] = bit_reads.front() ? 0xFF : 0xFE;
            bit_reads.pop_front();
        } else if (line_busy) {
            echo[0] = 0x00;
        }
    }
    if (tamper) tamper(index, echo);
    echo_ = echo;
    *written = n;
    return FT_OK;
}

FT_STATUS FakeD2xx::Read(FT_HANDLE handle, void* data, DWORD n, DWORD* got) {
    calls.push_back(Format("Read %u", n));
    if (clock) clock->Advance(latency_ms);
    if (!open_handles.count(handle)) return FT_INVALID_HANDLE;
    const size_t count = std::min({size_t(n), echo_.size(), read_limit});
    std::memcpy(data, echo_.data(), count);
    echo_.erase(echo_.begin(), echo_.begin() + std::ptrdiff_t(count));
    *got = DWORD(count);
    return FT_OK;
}

FT_STATUS FakeD2xx::ListDevices(void* a1, void* a2, DWORD flags) {
    if (flags == FT_LIST_NUMBER_ONLY) {
        calls.push_back("ListDevices number");
        if (count_fails) return FT_OTHER_ERROR;
        *static_cast<DWORD*>(a1) = DWORD(devices.size());
        return FT_OK;
    }
    const size_t index = size_t(reinterpret_cast<uintptr_t>(a1));
    const bool by_serial = (flags & FT_OPEN_BY_SERIAL_NUMBER) != 0;
    calls.push_back(Format("ListDevices %zu %s", index, by_serial ? "serial" : "description"));
    if (!(flags & FT_LIST_BY_INDEX) || index >= devices.size()) return FT_DEVICE_NOT_FOUND;
    const Device& d = devices[index];
    if (by_serial ? d.serial_fails : d.description_fails) return FT_OTHER_ERROR;
    const std::string& text = by_serial ? d.serial : d.description;
    const size_t room = by_serial ? 16 : 64;
    // Like the driver, fill the whole buffer when the text is that long.
    std::memset(a2, 0, room);
    std::memcpy(a2, text.data(), std::min(text.size(), room));
    return FT_OK;
}

}  // namespace kalvo::test

namespace kalvo::test {

std::vector<PaneText> TextsOf(const RecordingStatusBar& bar) {
    std::vector<PaneText> out;
    for (const auto& e : bar.Texts()) out.emplace_back(e.pane, e.text);
    return out;
}

}  // namespace kalvo::test

namespace kalvo::test {

RomCode Rom(uint8_t family, uint64_t serial) {
    RomCode code = family | (serial & 0xFFFFFFFFFFFFull) << 8;
    const auto bytes = RomBytes(code);
    return code | RomCode(Crc8(bytes.data(), 7, 0)) << 56;
}

}  // namespace kalvo::test
