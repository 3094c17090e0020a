#pragma once
// A minimal 1-Wire master on the bridge's echo, as the program drives it: reset at 9600 baud,
// one character per slot at 115200 baud. Kept apart from the real bus master on purpose.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

namespace kalvo::sim::test {

class UartMaster {
  public:
    explicit UartMaster(World& world, int index = 0) : api_(Api()) {
        SetActiveWorld(&world);
        EXPECT_EQ(api_.Open(index, &h_), FT_OK);
        api_.SetDataCharacteristics(h_, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
        api_.SetLatencyTimer(h_, 4);
        api_.SetTimeouts(h_, 1000, 0);
        api_.SetBaudRate(h_, 115200);
    }
    ~UartMaster() {
        api_.Close(h_);
        SetActiveWorld(nullptr);
    }

    FT_HANDLE handle() const { return h_; }

    std::vector<uint8_t> Exchange(std::vector<uint8_t> bytes) {
        DWORD n = 0;
        api_.Purge(h_, FT_PURGE_RX | FT_PURGE_TX);
        api_.Write(h_, bytes.data(), DWORD(bytes.size()), &n);
        std::vector<uint8_t> echo(bytes.size(), 0);
        api_.Read(h_, echo.data(), DWORD(echo.size()), &n);
        echo.resize(n);
        return echo;
    }
    uint8_t ResetEcho() {
        api_.SetBaudRate(h_, 9600);
        const auto echo = Exchange({0xF0});
        api_.SetBaudRate(h_, 115200);
        return echo.empty() ? 0 : echo[0];
    }
    bool Reset() { return ResetEcho() != 0xF0; }
    bool Bit(bool one) {
        const auto echo = Exchange({uint8_t(one ? 0xFF : 0x00)});
        return echo.size() == 1 && echo[0] == 0xFF;
    }
    // True when every slot echoed as sent.
    bool Write(uint8_t b) {
        std::vector<uint8_t> slots(8);
        for (int k = 0; k < 8; ++k) slots[size_t(k)] = (b >> k) & 1 ? 0xFF : 0x00;
        return Exchange(slots) == slots;
    }
    uint8_t Read() {
        const auto echo = Exchange(std::vector<uint8_t>(8, 0xFF));
        uint8_t b = 0;
        for (size_t k = 0; k < echo.size(); ++k)
            if (echo[k] == 0xFF) b |= uint8_t(1u << k);
        return b;
    }
    std::vector<uint8_t> Read(int n) {
        std::vector<uint8_t> out;
        for (int i = 0; i < n; ++i) out.push_back(Read());
        return out;
    }
    bool Match(RomCode code) {
        if (!Reset() || !Write(0x55)) return false;
        for (int i = 0; i < 8; ++i)
            if (!Write(uint8_t(code >> (8 * i)))) return false;
        return true;
    }
    // The classic SEARCH ROM walk; stops early (returns what it has) when the bus misbehaves.
    std::vector<RomCode> SearchAll(uint8_t command = 0xF0) {
        std::vector<RomCode> found;
        RomCode rom = 0;
        int last = 0;
        do {
            if (!Reset() || !Write(command)) break;
            int last_zero = 0;
            for (int p = 1; p <= 64; ++p) {
                const bool id = Bit(true);
                const bool cmp = Bit(true);
                if (id && cmp) return found;
                bool dir = id;
                if (!id && !cmp) {
                    if (p == last)
                        dir = true;
                    else if (p > last)
                        dir = false;
                    else
                        dir = (rom >> (p - 1)) & 1;
                    if (!dir) last_zero = p;
                }
                rom = dir ? rom | RomCode(1) << (p - 1) : rom & ~(RomCode(1) << (p - 1));
                Bit(dir);
            }
            found.push_back(rom);
            last = last_zero;
        } while (last != 0);
        return found;
    }

  private:
    const D2xxApi& api_;
    FT_HANDLE h_ = nullptr;
};

}  // namespace kalvo::sim::test
