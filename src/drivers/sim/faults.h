#pragma once
// Faults a test may inject. The World's fault hooks are in faults.cpp; what they set lives in
// the device and bridge models.
#include <cstdint>

#include "drivers/sim/rom_code.h"

namespace kalvo::sim {

// A fault on one DS2413 output pin.
enum class PinFault {
    kNone,
    kForcedLow,  // something outside pulls the pin low whatever the latch
    kStuckHigh,  // the output transistor never conducts
};

// Faults that start and end at given times of a run (World::ScheduleFault, `fault` in
// simbus.conf).
enum class FaultKind {
    kGone,           // device: no presence pulse, no slots
    kNeverConverts,  // thermometer: CONVERT T keeps the read slots low
    kCrcNoise,       // echo bytes with a flipped bit, a fraction `rate` of them
    kPowerOn,        // thermometer or switch: restarts at `at_ms` (an instant; for_ms unused)
    kLowPower,       // DS18B20: answers 0x07FF (127.94 degrees C) as its temperature
    kLineLow,        // bridge: the line is held low
    kUnplug,         // bridge: gone from the list, its handles fail for good; listed again after
    kShortReads,     // bridge: each read returns at most half the bytes asked for
};

constexpr double kDefaultNoiseRate = 0.02;

struct TimedFault {
    FaultKind kind = FaultKind::kGone;
    int64_t at_ms = 0;    // ms of the world's clock since the world was made
    int64_t for_ms = -1;  // -1: to the end of the run
    // The device of device faults. For crc-noise the device whose transactions (from its
    // selection to the next reset) are hit; 0 for every echo byte of `bridge`.
    RomCode device = 0;
    int bridge = 0;  // line-low, unplug, short-reads, and crc-noise without a device
    double rate = kDefaultNoiseRate;  // crc-noise: the fraction of echo bytes hit, 0 to 1
};

}  // namespace kalvo::sim
