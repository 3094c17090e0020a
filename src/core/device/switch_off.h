#pragma once
// Every DS2413 output off, from outside the program that drives them: a guard after that
// program ended, a script, a service's stop step.
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/common/clock.h"
#include "core/common/status_bar.h"
#include "core/device/d2xx.h"
#include "core/device/rom_code.h"

namespace kalvo {

struct SwitchOffResult {
    RomCode code = 0;
    bool off = false;  // the write was confirmed and both latches read off
    int was_on = -1;   // channels on before: bit 0 A, bit 1 B; -1 when it could not be read
};

struct SwitchOffReport {
    bool opened = false;                    // the bridge was opened and its bus searched
    std::vector<SwitchOffResult> switches;  // by ROM code
    bool AllOff() const;
};

constexpr int64_t kSwitchOffRetryMs = 1000;

// Opens the FT232R bridge with serial number `serial` (the first one that opens when empty),
// takes the inventory and switches both channels of every DS2413 off. While the bridge is not
// listed, cannot be opened (the program that held it may not have let go yet) or its bus not
// searched, or a switch does not confirm, it tries again every kSwitchOffRetryMs until
// `patience_ms` has passed. `status` (may be null) receives the bus's texts.
SwitchOffReport SwitchEverythingOff(const D2xxApi& api, std::u16string_view serial, Clock& clock,
                                    int64_t patience_ms, StatusBar* status = nullptr);

}  // namespace kalvo
