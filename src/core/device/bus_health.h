#pragma once
// How the bus judges what it reads: scratchpads that are no measurement, the time a conversion
// may take, the failures of a pass, and the counters kept per sensor.
#include <cstdint>
#include <string_view>

#include "core/device/registers.h"
#include "core/device/rom_code.h"

namespace kalvo {

enum class PadVerdict {
    kReading,   // a measurement
    kNoAnswer,  // nine 0xFF (nobody sent) or nine zeros (the echoes never came back)
    kCrcError,  // bits lost on the way
    kPowerOn,   // DS18B20 85.0 with byte 6 = 0x0C: the sensor restarted, it measured nothing
    kLowPower,  // DS18B20 0x07FF: too little power to convert
};

// A DS18B20 writes 0x10 - (LSB & 0x0F) into byte 6 at the end of every conversion; 0x0C there
// with 85.0 is the power-on contents. The DS1820's power-on scratchpad is the same as a real
// 85.0 conversion, so it cannot be told apart and counts as a reading.
PadVerdict JudgeScratchpad(uint8_t family, const Scratchpad& pad);

// Longest conversion of a sensor, ms: by the DS18B20's resolution (configuration byte 4 of its
// scratchpad), 750 for the DS1820.
int64_t ConversionMs(uint8_t family, uint8_t config);
constexpr int64_t kFullConversionMs = 750;

// What made a pass fail, as the engine shows it.
enum class BusFault {
    kNone,
    kBridgeLost,  // the driver's calls fail, or the echoes stop coming back
    kNoPresence,  // no device answers the reset
    kLineLow,     // the reset echo shows the line held low, or slots do not pass
};
std::u16string_view FaultText(BusFault fault);

// Counts since the program started, per sensor. A read that is tried again counts each time.
struct SensorHealth {
    RomCode rom = 0;
    uint32_t crc_failures = 0;
    uint32_t power_on_values = 0;
    uint32_t low_power_values = 0;
    uint32_t missing_answers = 0;
    uint32_t overran_conversions = 0;
    bool stuck = false;  // holds the line after CONVERT T; left out of the conversion wait
    bool operator==(const SensorHealth&) const = default;
};

}  // namespace kalvo
