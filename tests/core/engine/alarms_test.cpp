// Alarms apart from control: the hysteresis and silence rules over a run of passes, the log
// line, and the alarm command run for real (a script in a temporary folder), failing and
// hanging ones included.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "core/engine/alarm_command.h"
#include "core/engine/alarms.h"
#include "core/engine/engine_test_util.h"

namespace kalvo {
namespace {

using namespace testing_util;
constexpr uint64_t kRom = 0xAB00000A1B2C5F28;  // 28-00000a1b2c5f
constexpr double kNoValue = -999;              // an invalid sample

SampleRecord Sample(double value) {
    SampleRecord s;
    s.rom = kRom;
    s.name = u"Погреб";
    s.valid = value == kNoValue ? 0 : 1;
    s.temperature = value == kNoValue ? 0.0 : value;
    return s;
}

TEST(AlarmMonitor, HysteresisSilenceAndRulesTakenAway) {
    Rules rules;
    rules.sensors[kRom] = {.offset = {}, .alarm_low = 2.0, .alarm_high = 30.0, .silent_after = 10};
    struct Step {
        int64_t time;
        double value;
        std::vector<std::pair<AlarmKind, AlarmKind>> events;  // (kind, cleared)
        bool drop_rules = false;
    };
    using K = AlarmKind;
    const Step steps[] = {
        {0, 2.0, {}},                   // at the limit: no alarm
        {2, 1.9, {{K::kLow, K::kOk}}},  // below
        {4, 2.4, {}},                   // not back by 0.5 yet
        {6, 2.5, {{K::kOk, K::kLow}}},  // back
        {8, 30.1, {{K::kHigh, K::kOk}}},
        {10, 29.6, {}},
        {12, kNoValue, {}},  // no reading: the high alarm stands
        {18, kNoValue, {}},  // 8 s without a valid reading
        {20, kNoValue, {{K::kOk, K::kHigh}, {K::kSilent, K::kOk}}},  // 10 s: silent replaces it
        {24, kNoValue, {}},
        {26, 1.0, {{K::kOk, K::kSilent}, {K::kLow, K::kOk}}},  // a reading ends the silence
        {28, 1.0, {{K::kOk, K::kLow}}, true},                  // limits taken away
        {48, kNoValue, {}},
    };
    AlarmMonitor monitor;
    for (const Step& step : steps) {
        SCOPED_TRACE("t=" + std::to_string(step.time));
        if (step.drop_rules) rules = {};
        const std::vector<AlarmEvent> events = monitor.Pass({Sample(step.value)}, step.time, rules);
        ASSERT_EQ(events.size(), step.events.size());
        for (size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(events[i].kind, step.events[i].first);
            EXPECT_EQ(events[i].cleared, step.events[i].second);
            EXPECT_EQ(events[i].time, step.time);
            EXPECT_EQ(events[i].rom, kRom);
            EXPECT_EQ(std::isnan(events[i].value), step.value == kNoValue);
        }
    }
}

TEST(AlarmMonitor, LogLineAndStatusText) {
    AlarmEvent e{.time = 0,
                 .rom = kRom,
                 .name = u"Погреб\tниз",
                 .kind = AlarmKind::kLow,
                 .cleared = AlarmKind::kOk,
                 .value = 1.75};
    const std::string line = AlarmLogLine(e);
    const std::string tail = "\t28-00000a1b2c5f\tПогреб низ\tlow\traised\t1.75";
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(AlarmStatusText(e), u"Alarm low: Погреб\tниз (28-00000a1b2c5f) 1,75 °C");
    e.kind = AlarmKind::kOk;
    e.cleared = AlarmKind::kSilent;
    e.value = std::nan("");
    EXPECT_EQ(AlarmLogLine(e).substr(line.size() - tail.size()),
              "\t28-00000a1b2c5f\tПогреб низ\tsilent\tcleared\t-");
}

// Log lines of a runner, gathered across its thread.
struct Lines {
    void Add(const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    }
    std::vector<std::string> Get() {
        std::lock_guard lock(mutex);
        return lines;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

bool WaitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST(AlarmCommand, RunsWithoutAShellWithTheEventAndReportsFailures) {
    EXPECT_EQ(SplitCommand("  /bin/x  -a\t'b c' $HOME "),
              (std::vector<std::string>{"/bin/x", "-a", "'b", "c'", "$HOME"}));
    TempDir dir;
    const std::string script = dir.File("notify");
    const std::string out = dir.File("out");
    WriteBytes(script,
               "#!/bin/sh\n"
               "printf '%s|%s|%s|%s|%s|%s|%s\\n' \"$1\" \"$KALVO_ALARM_KIND\" "
               "\"$KALVO_ALARM_STATE\" \"$KALVO_ALARM_SENSOR\" \"$KALVO_ALARM_NAME\" "
               "\"$KALVO_ALARM_VALUE\" \"$KALVO_ALARM_EPOCH\" >> \"$2\"\n"
               "exit \"$3\"\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);

    Lines lines;
    AlarmCommandRunner runner([&](const std::string& l) { lines.Add(l); },
                              std::chrono::milliseconds(500));
    const AlarmEvent raised{.time = 1717232400,
                            .rom = kRom,
                            .name = u"Погреб",
                            .kind = AlarmKind::kHigh,
                            .cleared = AlarmKind::kOk,
                            .value = 31.25};
    AlarmEvent cleared = raised;
    cleared.kind = AlarmKind::kOk;
    cleared.cleared = AlarmKind::kHigh;
    runner.Run(script + " $HOME " + out + " 0", raised);
    runner.Run(script + " x " + out + " 3", cleared);
    runner.Run(dir.File("missing") + " a", raised);
    runner.Run("/bin/sleep 30", raised);
    ASSERT_TRUE(WaitFor([&] { return runner.Idle() && lines.Get().size() == 3; }));
    EXPECT_EQ(ReadBytes(out),
              "$HOME|high|raised|28-00000a1b2c5f|Погреб|31.25|1717232400\n"
              "x|high|cleared|28-00000a1b2c5f|Погреб|31.25|1717232400\n");
    const std::vector<std::string> said = lines.Get();
    EXPECT_EQ(said[0], "alarm command failed: exit status 3: " + script);
    EXPECT_EQ(said[1].rfind("alarm command failed: cannot start " + dir.File("missing") + ": ", 0),
              0u);
    EXPECT_EQ(said[2], "alarm command failed: killed after 500 ms: /bin/sleep");
}

}  // namespace
}  // namespace kalvo
