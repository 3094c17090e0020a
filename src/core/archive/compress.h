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
// `selected`: its first reading, every reading that moved 0.5 degrees or more away from the last
// one kept, and its last reading of the day. Failed readings (valid 0, or a temperature that is
// not a finite number) are never curve points: each run of them is kept as one gap record with
// valid 0, and the first reading after it is kept. Status texts go to the main pane of `status`
// (may be null). On kCompressed the caller shows one series.
CompressOutcome CompressSeries(SampleList& records, const SampleRecord& selected,
                               StatusBar* status = nullptr);

}  // namespace kalvo
