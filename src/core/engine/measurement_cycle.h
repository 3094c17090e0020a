#pragma once
// One measurement cycle, run by the worker at every timer signal: the temperature pass, the
// table update, the thermostat, the live samples, and every 100 passes the write batch.
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/common/sample_record.h"

namespace kalvo {

class COneWireBus;
class EngineHost;
class GridKalvo;
class LiveView;
class Thermostat;

// Samples on their way from the worker to the day file. The worker puts, the window thread
// takes after WM_APP_WRITE_BATCH; the lock keeps a fill from overlapping a write.
class WriteBatch {
  public:
    // A batch the window thread has not taken yet is kept: the new samples go after it.
    void Put(SampleList&& samples);
    SampleList Take();
    // Puts samples that could not be written back in front of the batch, keeping at most
    // `limit` samples (the newest).
    void Restore(SampleList&& older, size_t limit);
    size_t Size() const;

  private:
    mutable std::mutex mutex_;
    SampleList samples_;
};

class MeasurementCycle {
  public:
    // Passes per write batch.
    static constexpr size_t kBatchPasses = 100;

    struct Result {
        int32_t measure = 0;       // what the temperature pass returned
        bool complete = false;     // a whole pass reached the table, thermostat and live view
        bool batch_ready = false;  // the pending samples became the write batch
    };

    MeasurementCycle(COneWireBus& bus, GridKalvo& thermometers, Thermostat& thermostat,
                     LiveView& live, EngineHost& host, WriteBatch& batch)
        : bus_(bus),
          thermometers_(thermometers),
          thermostat_(thermostat),
          live_(live),
          host_(host),
          batch_(batch) {}

    Result Run();

  private:
    COneWireBus& bus_;
    GridKalvo& thermometers_;
    Thermostat& thermostat_;
    LiveView& live_;
    EngineHost& host_;
    WriteBatch& batch_;
};

}  // namespace kalvo
