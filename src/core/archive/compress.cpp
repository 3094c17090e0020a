#include "core/archive/compress.h"

#include <algorithm>
#include <cmath>

#include "core/archive/data_file.h"
#include "core/common/messages.h"

namespace kalvo {

namespace {
constexpr uint8_t kFamilyDs18b20 = 0x28;
constexpr uint8_t kFamilyDs1820 = 0x10;

void Say(StatusBar* status, std::u16string_view text) {
    if (status) status->SetPaneText(kPaneMain, text);
}
}  // namespace

CompressOutcome CompressSeries(SampleList& records, const SampleRecord& selected,
                               StatusBar* status) {
    const uint8_t family = uint8_t(selected.rom & 0xFF);
    // Every record of a day file comes from a sensor, so the warning alone is enough.
    if (family != kFamilyDs18b20 && family != kFamilyDs1820)
        Say(status, u"The device is not a DS18B20 or DS1820 sensor");
    if (records.empty()) return CompressOutcome::kNoRecords;

    SampleList all = std::move(records);
    records.clear();
    const auto by_rom = [](const SampleRecord& a, const SampleRecord& b) { return a.rom < b.rom; };
    // Stable, so each thermometer's records keep their time order.
    std::stable_sort(all.begin(), all.end(), by_rom);
    const auto [first, last] = std::equal_range(all.begin(), all.end(), selected, by_rom);
    if (first == last) {
        Say(status, u"file can not be processed");
        return CompressOutcome::kNotFound;
    }
    const SampleRecord day_last = *(last - 1);

    // A run of failed readings stays one gap, as the chart breaks a curve at a failed reading:
    // its first record, marked invalid, and no value of it thinned against. The first reading
    // after a gap is always kept, so the curve resumes where the readings came back.
    auto out = first;
    auto reference = last;  // the last reading kept; none yet
    bool in_gap = false;
    for (auto it = first; it != last; ++it) {
        if (!SHELL::HoldsReading(*it)) {
            if (in_gap) continue;
            in_gap = true;
            if (out != it) *out = std::move(*it);
            out->valid = 0;
            ++out;
            continue;
        }
        // Compared with the last reading kept, not the dropped neighbour, so a slow drift
        // still shows once it has added up.
        if (reference == last || in_gap ||
            std::fabs(it->temperature - reference->temperature) >= kThinningThreshold) {
            if (out != it) *out = std::move(*it);
            reference = out;
            ++out;
            in_gap = false;
        }
    }
    records.assign(std::make_move_iterator(first), std::make_move_iterator(out));
    // The curve ends at the day's last reading of the thermometer; a day that ends in failed
    // readings ends in its gap.
    if (SHELL::HoldsReading(day_last) && records.back().time != day_last.time)
        records.push_back(day_last);
    return CompressOutcome::kCompressed;
}

}  // namespace kalvo
