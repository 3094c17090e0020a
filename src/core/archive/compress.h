#pragma once
#include "core/common/sample_record.h"
#include "core/common/status_bar.h"

namespace kalvo {

// Temperature steps smaller than this are thinned out of a curve, degrees C.
constexpr double kThinningThreshold = 0.5;

enum class CompressOutcome {
    kNoRecords,   // the list was empty; nothing changed
    kNotFound,    // no record of the selected thermometer; the list is left empty
    kCompressed,  // the list holds the thinned series of one thermometer (one per time slot)
};

// Reduces `records` (a stored day in file order) to the thinned curve of the thermometer of
// `selected`: its first record, every record that moved 0.5 degrees or more away from the last
// one kept, and its last record of the day. Status texts go to the main pane of `status` (may be
// null). On kCompressed the caller shows one series.
CompressOutcome CompressSeries(SampleList& records, const SampleRecord& selected,
                               StatusBar* status = nullptr);

}  // namespace kalvo
