#pragma once
// Per-sensor corrections and alarm limits, per-channel protection times and the alarm command,
// as kalvo.ini gives them. Absent values mean "off"; an empty Rules changes nothing.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace kalvo {

struct SensorRules {
    std::optional<double> offset;      // degrees C added to every reading
    std::optional<double> alarm_low;   // degrees C
    std::optional<double> alarm_high;  // degrees C
    std::optional<int> silent_after;   // s without a valid reading
    bool operator==(const SensorRules&) const = default;
};

struct ChannelRules {
    int min_off = 0;  // s off before it may switch on again
    int min_on = 0;   // s on before it may switch off again
    bool operator==(const ChannelRules&) const = default;
};

struct Rules {
    std::map<uint64_t, SensorRules> sensors;                    // by ROM code
    std::map<std::pair<uint64_t, int>, ChannelRules> channels;  // by DS2413 ROM code, 0 = A
    std::string alarm_command;  // run on each raise and clear; empty: none
    bool operator==(const Rules&) const = default;
};

}  // namespace kalvo
