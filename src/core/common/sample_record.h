#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kalvo {

// One measurement of one thermometer.
struct SampleRecord {
    uint64_t rom = 0;
    std::u16string name;
    double temperature = 0.0;      // degrees C
    int64_t time;                  // seconds since 1970-01-01 UTC, one per pass
    uint32_t colour = 0xFF008000;  // ARGB
    uint32_t valid = 0;            // 1 when the scratchpad CRC matched

    SampleRecord();
};

using SampleList = std::vector<SampleRecord>;

// Calendar time in seconds; replaceable so tests can fix "now".
int64_t NowSeconds();
void SetNowSecondsSource(int64_t (*source)());

}  // namespace kalvo
