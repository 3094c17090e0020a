#include "core/device/switch_off.h"

#include <algorithm>
#include <map>

#include "core/device/one_wire_bus.h"

namespace kalvo {
namespace {

constexpr int kWritesPerAttempt = 3;
// PIO status byte: bit 1 latch A, bit 3 latch B; a latch of 1 keeps the output off.
constexpr uint8_t kLatchesOff = 0x0A;

int ChannelsOn(uint8_t status) {
    return ((status >> 1) & 1 ? 0 : 1) | ((status >> 3) & 1 ? 0 : 2);
}

}  // namespace

bool SwitchOffReport::AllOff() const {
    return opened && std::all_of(switches.begin(), switches.end(),
                                 [](const SwitchOffResult& r) { return r.off; });
}

SwitchOffReport SwitchEverythingOff(const D2xxApi& api, std::u16string_view serial, Clock& clock,
                                    int64_t patience_ms, StatusBar* status) {
    SwitchOffReport report;
    std::map<RomCode, SwitchOffResult> results;
    const int64_t end = clock.NowMs() + patience_ms;
    for (;;) {
        RecordingStatusBar quiet;
        COneWireBus bus(api);  // closes its bridge when it goes
        bus.SetStatusBar(status ? status : &quiet);
        bus.SetClock(clock);
        bool ready = bus.SearchBridges();
        if (ready && !serial.empty()) {
            ready = false;
            for (FtDevice& bridge : bus.Link().Bridges()) {
                bridge.flags = bridge.SerialText() == serial ? 0 : 1;
                ready |= bridge.flags == 0;
            }
        }
        if (ready && bus.OpenBus()) {
            report.opened = true;
            for (RomCode code : bus.Switches()) {
                SwitchOffResult& r = results[code];
                r.code = code;
                if (r.off) continue;
                if (r.was_on < 0) {
                    if (const auto before = bus.PioRead(code)) r.was_on = ChannelsOn(*before);
                }
                for (int k = 0; k < kWritesPerAttempt && !r.off; ++k) {
                    uint8_t after = 0;
                    r.off =
                        bus.PioWrite(code, 0, 0, &after) && (after & kLatchesOff) == kLatchesOff;
                }
            }
        }
        report.switches.clear();
        for (const auto& [code, r] : results) report.switches.push_back(r);
        if (report.AllOff()) return report;
        const int64_t left = end - clock.NowMs();
        if (left <= 0) return report;
        clock.SleepMs(std::min(kSwitchOffRetryMs, left));
    }
}

}  // namespace kalvo
