#include "core/engine/measurement_cycle.h"

#include "core/common/messages.h"
#include "core/common/text.h"
#include "core/device/one_wire_bus.h"
#include "core/engine/engine_host.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/thermostat.h"

namespace kalvo {

void WriteBatch::Put(SampleList&& samples) {
    std::lock_guard lock(mutex_);
    if (samples_.empty()) {
        samples_ = std::move(samples);
    } else {
        samples_.insert(samples_.end(), std::make_move_iterator(samples.begin()),
                        std::make_move_iterator(samples.end()));
    }
    samples.clear();
}

SampleList WriteBatch::Take() {
    std::lock_guard lock(mutex_);
    SampleList out;
    out.swap(samples_);
    return out;
}

void WriteBatch::Restore(SampleList&& older, size_t limit) {
    std::lock_guard lock(mutex_);
    older.insert(older.end(), std::make_move_iterator(samples_.begin()),
                 std::make_move_iterator(samples_.end()));
    samples_ = std::move(older);
    if (samples_.size() > limit)
        samples_.erase(samples_.begin(), samples_.end() - std::ptrdiff_t(limit));
}

size_t WriteBatch::Size() const {
    std::lock_guard lock(mutex_);
    return samples_.size();
}

MeasurementCycle::Result MeasurementCycle::Run() {
    Result result;
    result.measure = bus_.MeasureAll();
    const size_t n = bus_.Thermometers().size();
    if (n == 0 || bus_.PendingCount() < n) return result;

    // A pass cut short leaves a mix of two passes at the end of the pending samples; it
    // reaches neither the table nor the control. Its samples are still recorded.
    if (result.measure == 1) {
        SampleList latest;
        bus_.TakeLatest(latest);
        for (size_t i = 0; i < latest.size(); ++i) {
            // A sample that failed its check carries another sensor's value, not a reading.
            const std::u16string text = latest[i].valid == 1
                                            ? FormatRus(u"  %.2f", latest[i].temperature)
                                            : std::u16string(kNoReading);
            thermometers_.SetCellText(int(i), GridKalvo::kColTemperature, text);
        }
        thermostat_.Pass();
        live_.ReplaceLiveSamples(latest);
        host_.Post(PostTarget::kLiveView, WM_APP_SAMPLES, 0, 0);
        result.complete = true;
    }

    const size_t rows = size_t(thermometers_.RowCount());
    if (rows > 0 && bus_.PendingCount() / rows >= kBatchPasses) {
        batch_.Put(std::move(bus_.PendingSamples()));
        bus_.ClearPending();
        host_.Post(PostTarget::kEngine, WM_APP_WRITE_BATCH, 0, 0);
        result.batch_ready = true;
    }
    return result;
}

}  // namespace kalvo
