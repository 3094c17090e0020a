#pragma once
// A realistic day file for the plot command's tests and the documentation image, written
// straight in the day-file layout (32-byte header, 96-byte little-endian records).
#include <cstdint>
#include <string>

#include "core/common/sample_record.h"

namespace kalvo {

struct DayFileOptions {
    int thermometers = 4;        // 1 to 4: outdoor, room, heated tank, cellar
    int period_seconds = 10;     // between passes
    int passes = 8640;           // a whole day at 10 s
    int64_t start = 1267909200;  // 07.03.2010 00:00:00 at UTC+3
    // A few failed readings (validity 0) and one pass cut short by the bus.
    bool faults = true;
};

// The records in file order, one pass after the other.
SampleList MakeDay(const DayFileOptions& options);
// Writes the header (thermometer count) and the records of MakeDay. False when it cannot.
bool WriteDayFile(const std::string& path, const DayFileOptions& options);

}  // namespace kalvo
