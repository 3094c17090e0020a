// The temperature pass: one broadcast conversion, then one scratchpad read per thermometer.
#include <algorithm>

#include "core/common/colour.h"
#include "core/device/one_wire_bus.h"
#include "core/device/registers.h"

namespace kalvo {

int32_t COneWireBus::MeasureAll() {
    if (thermometers_.empty()) return kMeasureNotDone;
    if (!Reset()) return 0;
    if (!WriteByte(kSkipRom) || !WriteByte(kConvertT)) return 0;

    SampleRecord record;
    record.rom = 0;
    record.temperature = 0.0;
    record.valid = 0;
    const int64_t pass_time = NowSeconds();
    const int64_t t0 = clock_->NowMs();

    // Sensors hold the line low in read slots until their conversion is done.
    for (;;) {
        const uint8_t echo = WriteSlot(0xFF);
        if (clock_->NowMs() - t0 > kConversionLimitMs) return kMeasureNotDone;
        if (echo == 0xFF) break;
    }

    Scratchpad pad{};
    for (size_t i = 0; i < thermometers_.size(); ++i) {
        const RomCode code = thermometers_[i];
        const int row = int(i);
        uint32_t colour = 0;
        record.name.clear();
        if (thermometer_table_) {
            if (thermometer_table_->ThermometerRowExists(row))
                colour = thermometer_table_->ThermometerColour(row);
            record.name = thermometer_table_->ThermometerName(row);
        }
        record.colour = ColorrefToArgb(colour);

        if (!Reset() || !MatchRom(code) || !WriteByte(kReadScratchpad)) return 0;
        for (uint8_t& byte : pad) byte = ReadByte();
        // Nine zeros pass the CRC, but no sensor sends them (its byte 5 reads 0xFF): they are
        // echoes that never came back, not a reading of 0 degrees.
        const bool all_zero = std::all_of(pad.begin(), pad.end(), [](uint8_t b) { return b == 0; });
        if (!all_zero && Crc8(pad.data(), 8, 0) == pad[8]) {
            record.temperature = ScratchpadCelsius(FamilyOf(code), pad);
            record.valid = 1;
        } else {
            record.valid = 0;  // keeps the temperature of the previous sensor of this pass
        }
        record.rom = code;
        record.time = pass_time;
        pending_.push_back(record);
    }
    return 1;
}

bool COneWireBus::TakeLatest(SampleList& out) const {
    const size_t n = thermometers_.size();
    if (n == 0 || pending_.size() < n) return false;
    out.assign(pending_.end() - std::ptrdiff_t(n), pending_.end());
    return true;
}

}  // namespace kalvo
