#include "core/engine/alarms.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>

#include "core/common/file_ops.h"
#include "core/common/text.h"

namespace kalvo {
namespace {

AlarmEvent Event(int64_t time, const SampleRecord& sample, AlarmKind kind, AlarmKind cleared,
                 double value) {
    AlarmEvent event;
    event.time = time;
    event.rom = sample.rom;
    event.name = sample.name;
    event.kind = kind;
    event.cleared = cleared;
    event.value = value;
    return event;
}

// A name is one field of a tab-separated line.
std::string OneField(std::u16string_view text) {
    std::string field = Utf16ToUtf8(text);
    for (char& c : field)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return field;
}

}  // namespace

std::vector<AlarmEvent> AlarmMonitor::Pass(const SampleList& samples, int64_t time,
                                           const Rules& rules) {
    std::vector<AlarmEvent> events;
    const double nan = std::nan("");
    for (const SampleRecord& sample : samples) {
        const auto found = rules.sensors.find(sample.rom);
        const SensorRules limits = found == rules.sensors.end() ? SensorRules{} : found->second;
        const auto [it, added] = sensors_.try_emplace(sample.rom, Sensor{AlarmKind::kOk, time});
        Sensor& sensor = it->second;
        const auto clear = [&](double value) {
            events.push_back(Event(time, sample, AlarmKind::kOk, sensor.kind, value));
            sensor.kind = AlarmKind::kOk;
        };
        const auto raise = [&](AlarmKind kind, double value) {
            events.push_back(Event(time, sample, kind, AlarmKind::kOk, value));
            sensor.kind = kind;
        };
        const bool silent_on = limits.silent_after && *limits.silent_after > 0;
        if (sample.valid == 1) {
            const double v = sample.temperature;
            sensor.last_valid = time;
            if (sensor.kind == AlarmKind::kSilent) clear(v);
            if (sensor.kind == AlarmKind::kLow &&
                (!limits.alarm_low || v >= *limits.alarm_low + kHysteresis))
                clear(v);
            if (sensor.kind == AlarmKind::kHigh &&
                (!limits.alarm_high || v <= *limits.alarm_high - kHysteresis))
                clear(v);
            if (sensor.kind == AlarmKind::kOk) {
                if (limits.alarm_low && v < *limits.alarm_low)
                    raise(AlarmKind::kLow, v);
                else if (limits.alarm_high && v > *limits.alarm_high)
                    raise(AlarmKind::kHigh, v);
            }
            continue;
        }
        // No reading: a limit taken away still ends its alarm.
        if ((sensor.kind == AlarmKind::kLow && !limits.alarm_low) ||
            (sensor.kind == AlarmKind::kHigh && !limits.alarm_high) ||
            (sensor.kind == AlarmKind::kSilent && !silent_on))
            clear(nan);
        if (silent_on && sensor.kind != AlarmKind::kSilent &&
            time - sensor.last_valid >= *limits.silent_after) {
            if (sensor.kind != AlarmKind::kOk) clear(nan);
            raise(AlarmKind::kSilent, nan);
        }
    }
    return events;
}

AlarmKind AlarmMonitor::State(uint64_t rom) const {
    const auto it = sensors_.find(rom);
    return it == sensors_.end() ? AlarmKind::kOk : it->second.kind;
}

std::string AlarmTimeText(int64_t seconds) {
    std::tm tm{};
    if (!SHELL::LocalTime(seconds, &tm)) return std::to_string(seconds);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::string AlarmValueText(double value) {
    if (!std::isfinite(value)) return {};
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2);
    return std::string(text, result.ptr);
}

std::string AlarmLogLine(const AlarmEvent& event) {
    const bool raised = event.kind != AlarmKind::kOk;
    std::string line = AlarmTimeText(event.time);
    line += '\t';
    line += W1Id(event.rom);
    line += '\t';
    line += OneField(event.name);
    line += '\t';
    line += AlarmKindText(raised ? event.kind : event.cleared);
    line += raised ? "\traised\t" : "\tcleared\t";
    const std::string value = AlarmValueText(event.value);
    line += value.empty() ? "-" : value;
    return line;
}

std::u16string AlarmStatusText(const AlarmEvent& event) {
    const bool raised = event.kind != AlarmKind::kOk;
    std::u16string text = raised ? u"Alarm " : u"Alarm cleared, ";
    text += Utf8ToUtf16(AlarmKindText(raised ? event.kind : event.cleared));
    text += u": ";
    const std::u16string id = Utf8ToUtf16(W1Id(event.rom));
    text += event.name.empty() ? id : event.name + u" (" + id + u")";
    if (std::isfinite(event.value)) text += FormatRus(u" %.2f °C", event.value);
    return text;
}

void AlarmLog::Append(std::string_view line) {
    if (path_.empty()) return;
    std::lock_guard lock(mutex_);
    struct Close {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::string whole(line);
    whole += '\n';
    bool written = false;
    {
        // Append mode: every line lands at the end even if another program appends too.
        std::unique_ptr<std::FILE, Close> file(std::fopen(path_.c_str(), "ab"));
        written = file && std::fwrite(whole.data(), 1, whole.size(), file.get()) == whole.size() &&
                  std::fflush(file.get()) == 0;
    }
    if (!written && !failing_)
        std::fprintf(stderr, "%s could not be written: the alarms go to stderr only\n",
                     path_.c_str());
    failing_ = !written;
}

}  // namespace kalvo
