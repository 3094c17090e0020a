#include "fake_d2xx.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kalvo::test {
namespace {

FakeD2xx* g = nullptr;

std::string Call(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Call(const char* format, ...) {
    char buf[96];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    g->calls.push_back(buf);
    return buf;
}

FT_STATUS Configured(const char* name, FT_HANDLE h) {
    if (!g->open_handles.count(h)) return FT_INVALID_HANDLE;
    return g->failing_call == name ? FT_IO_ERROR : FT_OK;
}

size_t IndexOf(FT_HANDLE h) {
    return size_t(reinterpret_cast<uintptr_t>(h) - 0x1000);
}

FT_STATUS Write(FT_HANDLE h, void* data, DWORD n, DWORD* written) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> sent(bytes, bytes + n), echo = sent;
    Call("Write %u: %s", n, HexBytes(sent).c_str());
    g->writes.push_back(sent);
    if (!g->open_handles.count(h)) return FT_INVALID_HANDLE;
    const bool ones = std::all_of(sent.begin(), sent.end(), [](uint8_t b) { return b == 0xFF; });
    if (g->baud == 9600 && n == 1) {
        if (sent[0] == 0xF0 && g->presence) echo[0] = 0xE0;
    } else if (n == 8 && ones && !g->byte_reads.empty()) {
        for (int k = 0; k < 8; ++k)
            echo[size_t(k)] = (g->byte_reads.front() >> k) & 1 ? 0xFF : 0xFE;
        g->byte_reads.pop_front();
    } else if (n == 1 && ones && !g->bit_reads.empty()) {
        echo[0] = g->bit_reads.front() ? 0xFF : 0xFE;
        g->bit_reads.pop_front();
    } else if (n == 1 && ones && g->line_busy) {
        echo[0] = 0x00;
    }
    if (g->tamper) g->tamper(g->writes.size() - 1, echo);
    g->echo = echo;
    *written = n;
    return FT_OK;
}

FT_STATUS Read(FT_HANDLE h, void* data, DWORD n, DWORD* got) {
    Call("Read %u", n);
    if (g->clock) g->clock->Advance(g->latency_ms);
    if (!g->open_handles.count(h)) return FT_INVALID_HANDLE;
    const size_t count = std::min({size_t(n), g->echo.size(), g->read_limit});
    std::memcpy(data, g->echo.data(), count);
    g->echo.clear();
    *got = DWORD(count);
    return FT_OK;
}

FT_STATUS ListDevices(void* a1, void* a2, DWORD flags) {
    if (flags == FT_LIST_NUMBER_ONLY) {
        Call("ListDevices number");
        *static_cast<DWORD*>(a1) = DWORD(g->devices.size());
        return g->count_fails ? FT_OTHER_ERROR : FT_OK;
    }
    const size_t i = size_t(reinterpret_cast<uintptr_t>(a1));
    const bool serial = flags == (FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
    Call("ListDevices %zu %s", i, serial ? "serial" : "description");
    if (i >= g->devices.size()) return FT_DEVICE_NOT_FOUND;
    const auto& d = g->devices[i];
    if (serial ? d.serial_fails : d.description_fails) return FT_OTHER_ERROR;
    // Like the driver, fill the whole buffer when the text is that long: no terminator.
    const std::string& text = serial ? d.serial : d.description;
    const size_t room = serial ? 16 : 64;
    std::memset(a2, 0, room);
    std::memcpy(a2, text.data(), std::min(text.size(), room));
    return FT_OK;
}

}  // namespace

FakeD2xx::FakeD2xx() {
    g = this;
}
FakeD2xx::~FakeD2xx() {
    g = nullptr;
}

const D2xxApi& FakeD2xx::Api() {
    static const D2xxApi api = {
        [](int i, FT_HANDLE* h) {
            Call("Open %d", i);
            if (i < 0 || size_t(i) >= g->devices.size() || g->devices[size_t(i)].open_fails)
                return FT_DEVICE_NOT_OPENED;
            g->open_handles.insert(*h = HandleOf(i));
            return FT_OK;
        },
        [](FT_HANDLE h) {
            Call("Close %zu", IndexOf(h));
            if (g->close_status != FT_OK) return g->close_status;
            return g->open_handles.erase(h) ? FT_OK : FT_INVALID_HANDLE;
        },
        [](FT_HANDLE h, ULONG* type, DWORD* id, char* serial, char* desc, void* last) {
            Call("GetDeviceInfo %s", last ? "non-null" : "null");
            if (!g->open_handles.count(h) || g->devices[IndexOf(h)].info_fails)
                return FT_INVALID_HANDLE;
            *type = g->devices[IndexOf(h)].type;
            *id = 0x04036001;
            std::memset(serial, 'S', 16);  // not to be relied on
            std::memset(desc, 'D', 64);
            return FT_OK;
        },
        [](FT_HANDLE h, UCHAR b, UCHAR s, UCHAR p) {
            Call("SetDataCharacteristics %d %d %d", b, s, p);
            return Configured("SetDataCharacteristics", h);
        },
        [](FT_HANDLE h, ULONG rate) {
            Call("SetBaudRate %u", rate);
            const FT_STATUS status = Configured("SetBaudRate", h);
            if (status == FT_OK) g->baud = rate;
            return status;
        },
        [](FT_HANDLE h, ULONG in, ULONG out) {
            Call("SetUSBParameters %u %u", in, out);
            return Configured("SetUSBParameters", h);
        },
        [](FT_HANDLE h, UCHAR ms) {
            Call("SetLatencyTimer %d", ms);
            return Configured("SetLatencyTimer", h);
        },
        [](FT_HANDLE h, ULONG r, ULONG w) {
            Call("SetTimeouts %u %u", r, w);
            return Configured("SetTimeouts", h);
        },
        [](FT_HANDLE h, ULONG mask) {
            Call("Purge %u", mask);
            g->echo.clear();
            return Configured("Purge", h);
        },
        &Write,
        &Read,
        &ListDevices,
    };
    return api;
}

size_t FakeD2xx::Count(const std::string& prefix) const {
    return size_t(std::count_if(calls.begin(), calls.end(),
                                [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}

std::vector<uint8_t> FakeD2xx::SentBytes(size_t from) const {
    std::vector<uint8_t> out;
    for (size_t i = from; i < writes.size(); ++i) {
        if (writes[i].size() != 8) continue;
        uint8_t b = 0;
        for (int k = 0; k < 8; ++k) b |= writes[i][size_t(k)] == 0xFF ? uint8_t(1u << k) : 0;
        out.push_back(b);
    }
    return out;
}

void FakeD2xx::QueueInventory(const std::vector<RomCode>& codes) {
    RomCode rom = 0;
    int last_discrepancy = 0;
    do {
        std::vector<RomCode> answering = codes;
        int last_zero = 0;
        for (int p = 1; p <= 64; ++p) {
            const RomCode mask = RomCode(1) << (p - 1);
            bool has0 = false, has1 = false;
            for (RomCode c : answering) (c & mask ? has1 : has0) = true;
            bit_reads.push_back(!has0);  // a device sending 0 pulls the line low
            bit_reads.push_back(!has1);
            bool direction = has1;
            if (has0 && has1) {
                direction = p == last_discrepancy || (p < last_discrepancy && (rom & mask));
                if (!direction) last_zero = p;
            }
            rom = direction ? rom | mask : rom & ~mask;
            if (direction) bit_reads.push_back(true);  // the 0xFF direction slot's echo
            std::erase_if(answering, [&](RomCode c) { return bool(c & mask) != direction; });
        }
        last_discrepancy = last_zero;
    } while (last_discrepancy != 0);
}

void FakeD2xx::QueueSearchPass(RomCode code, const std::vector<int>& discrepancies) {
    for (int p = 1; p <= 64; ++p) {
        const bool bit = (code >> (p - 1)) & 1;
        const bool both_zero =
            std::find(discrepancies.begin(), discrepancies.end(), p) != discrepancies.end();
        bit_reads.push_back(both_zero ? false : bit);
        bit_reads.push_back(both_zero ? false : !bit);
        if (bit) bit_reads.push_back(true);
    }
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        text += (text.empty() ? "" : " ") + std::string(buf);
    }
    return text;
}

RomCode Rom(uint8_t family, uint64_t serial) {
    const RomCode code = family | (serial & 0xFFFFFFFFFFFFull) << 8;
    const auto bytes = RomBytes(code);
    return code | RomCode(Crc8(bytes.data(), 7, 0)) << 56;
}

std::vector<PaneText> TextsOf(const RecordingStatusBar& bar) {
    std::vector<PaneText> out;
    for (const auto& e : bar.Texts()) out.emplace_back(e.pane, e.text);
    return out;
}

}  // namespace kalvo::test
