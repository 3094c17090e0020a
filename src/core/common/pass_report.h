#pragma once
// What a running program tells the world outside it after each pass: the samples as they went
// to the day file, the switch channels, and alarms. The desktop and the headless logger hand
// these to the same publishers; the engine calls the listeners on its worker thread, so a
// listener only copies and queues, it never waits on the network or the disk.
#include <cstdint>
#include <string>
#include <vector>

#include "core/common/sample_record.h"

namespace kalvo {

// A device as Linux names 1-Wire devices: family, '-', the 48-bit serial in lower-case hex
// ("28-00000a1b2c5f"). `rom` holds the family in its low byte.
inline std::string W1Id(uint64_t rom) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    id.reserve(15);
    const auto byte = [&](int index) {
        const unsigned value = unsigned(rom >> (8 * index)) & 0xFFu;
        id.push_back(kHex[value >> 4]);
        id.push_back(kHex[value & 0xF]);
    };
    byte(0);
    id.push_back('-');
    for (int index = 6; index >= 1; --index) byte(index);
    return id;
}

// One completed or missed pass.
struct PassReport {
    int64_t time = 0;  // seconds since 1970-01-01 UTC
    int period = 0;    // s, the measuring period in force
    // Every thermometer of the table in table order, corrected values, `valid` 0 when invalid.
    SampleList samples;
};

struct ChannelState {
    uint64_t rom = 0;  // the DS2413
    int channel = 0;   // 0 = A, 1 = B
    bool on = false;
    int type = 0;         // 0 heater, 1 cooler
    bool driven = false;  // controlled by a thermometer or a scenario
    std::u16string name;  // the controlling thermometer's name; empty when none
    int held_s = 0;       // s a protection still holds the channel as it is; 0 none
};

enum class AlarmKind { kOk, kLow, kHigh, kSilent };

// "ok", "low", "high", "silent".
inline const char* AlarmKindText(AlarmKind kind) {
    switch (kind) {
        case AlarmKind::kLow:
            return "low";
        case AlarmKind::kHigh:
            return "high";
        case AlarmKind::kSilent:
            return "silent";
        case AlarmKind::kOk:
            break;
    }
    return "ok";
}

// A raise (kind != kOk) or a clear (kind == kOk, `cleared` the kind that ended).
struct AlarmEvent {
    int64_t time = 0;  // seconds since 1970-01-01 UTC
    uint64_t rom = 0;
    std::u16string name;
    AlarmKind kind = AlarmKind::kOk;
    AlarmKind cleared = AlarmKind::kOk;
    double value = 0.0;  // degrees C, corrected; NaN when no valid reading
};

class PassListener {
  public:
    virtual ~PassListener() = default;
    // Worker thread, after the pass went to the day file (or was dropped with recording off).
    virtual void OnPass(const PassReport& report) = 0;
    // Worker thread: every channel of the switch table, after any of them changed, and once
    // with the first pass.
    virtual void OnChannels(const std::vector<ChannelState>& channels) = 0;
    // Worker thread: an alarm raised or cleared.
    virtual void OnAlarm(const AlarmEvent& event) { (void)event; }
};

}  // namespace kalvo
