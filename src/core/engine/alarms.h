#pragma once
// Alarms apart from control: each thermometer's valid readings against its own low and high
// limits, with a hysteresis so a reading at a limit does not flap, and a sensor that has given
// no valid reading for too long. The worker feeds every pass; raises and clears come back as
// events in the order they happened.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/pass_report.h"
#include "core/common/rules.h"
#include "core/common/sample_record.h"

namespace kalvo {

class AlarmMonitor {
  public:
    // degrees C a reading must come back past a limit before its alarm clears.
    static constexpr double kHysteresis = 0.5;

    // One pass: corrected samples and the pass time (s). A sensor's silence counts from the
    // first pass that listed it or from its last valid reading.
    std::vector<AlarmEvent> Pass(const SampleList& samples, int64_t time, const Rules& rules);
    AlarmKind State(uint64_t rom) const;

  private:
    struct Sensor {
        AlarmKind kind = AlarmKind::kOk;
        int64_t last_valid = 0;  // s
    };
    std::map<uint64_t, Sensor> sensors_;
};

// "2024-06-01 14:03:00" in local time.
std::string AlarmTimeText(int64_t seconds);
// "1.75"; empty for NaN. Independent of the locale.
std::string AlarmValueText(double value);
// One alarms.log line without its end: time, id, name, kind, raised/cleared, value, by tabs.
std::string AlarmLogLine(const AlarmEvent& event);
// The status-bar text of an event.
std::u16string AlarmStatusText(const AlarmEvent& event);

// alarms.log in the data folder: one UTF-8 line per append, from any thread. An empty path
// writes nothing; a line that cannot be written goes to stderr only.
class AlarmLog {
  public:
    explicit AlarmLog(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }
    void Append(std::string_view line);

  private:
    std::mutex mutex_;
    std::string path_;
    bool failing_ = false;
};

}  // namespace kalvo
