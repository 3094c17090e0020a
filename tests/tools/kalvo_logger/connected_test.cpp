// The real kalvo-logger with a kalvo.ini in its data folder and a real broker on a loopback port:
// what it publishes against what it records, its rules (offsets, alarms, the alarm command) in
// the day file, the thermostat and on the broker, a broker that dies mid-run, and a scenario
// that survives a kill.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>

#include "../../core/publish/broker_fixture.h"
#include "core/scenario/grid_sn.h"
#include "core/scenario/scenario_file.h"
#include "core/scenario/scenario_run.h"
#include "logger_fixture.h"

namespace kalvo {
namespace {

using namespace testing_logger;
using testing_mqtt::Broker;
using testing_mqtt::Message;
using testing_mqtt::Subscriber;

// How long the broker stays dead mid-run. Short for the suite; KALVO_BROKER_DOWN_S sets another
// (a run by hand with 20 s shows the publisher's longer back-off).
constexpr int kBrokerDownS = 5;

const std::string kRoom = W1Id(sim::MakeRomCode(0x28, 0x0A1B2C3D));
const std::string kOutside = W1Id(sim::MakeRomCode(0x10, 0xB0B0B0));
const std::string kSwitch = W1Id(sim::MakeRomCode(0x3A, 0xABCDE));
const std::string kBase = "kalvo/e2e";

std::string Underscored(std::string id) {
    std::replace(id.begin(), id.end(), '-', '_');
    return id;
}

std::string IsoTime(int64_t seconds) {
    const time_t t = time_t(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// A sensor state's temperature (NaN for null) and time.
struct State {
    double temperature = NAN;
    std::string time;
};
std::optional<State> ParseState(const std::string& payload) {
    const std::string t = "\"temperature\": ", w = "\"time\": \"";
    const size_t at = payload.find(t), when = payload.find(w);
    if (at == std::string::npos || when == std::string::npos) return std::nullopt;
    State state;
    if (payload.compare(at + t.size(), 4, "null") != 0)
        state.temperature = std::strtod(payload.c_str() + at + t.size(), nullptr);
    state.time = payload.substr(when + w.size(), 20);
    return state;
}

// Messages on `topic` after the `nth` (0-based) "online" of the node.
std::vector<std::string> After(const std::vector<Message>& all, int nth, const std::string& topic) {
    std::vector<std::string> out;
    int online = -1;
    for (const Message& m : all) {
        if (m.topic == kBase + "/status" && m.payload == "online") ++online;
        if (online == nth && m.topic == topic) out.push_back(m.payload);
    }
    return out;
}

int Times(const std::vector<Message>& all, const std::string& topic, const std::string& payload) {
    return int(std::count_if(all.begin(), all.end(), [&](const Message& m) {
        return m.topic == topic && m.payload == payload;
    }));
}

class ConnectedLoggerTest : public LoggerTest {
  protected:
    ConnectedLoggerTest() : broker_(testing_mqtt::FreePort()) { broker_.Start(); }

    // kalvo.ini in the data folder: the broker's section, then `rest`, as a person writes it.
    void WriteIni(const std::string& rest = {}) {
        fs::create_directories(Root());
        std::ofstream(Root() / "kalvo.ini") << "; the test's broker\n[mqtt]\nhost = 127.0.0.1\n"
                                            << "port = " << broker_.port() << "\nnode = e2e\n"
                                            << "discovery_prefix = ha\n\n"
                                            << rest;
    }
    int64_t Now() const { return int64_t(std::time(nullptr)); }

    Broker broker_;
};

// Everything a pass records reaches the broker: discovery for every thermometer and channel, one
// state per thermometer per pass equal to the day file's record, the thermostat's switching, and
// the node's status at start, at SIGTERM and after a kill. The rules of kalvo.ini act on all of
// it: the outside sensor's offset is in the file, on the broker and in the control of channel B
// (which heats below -3 °C: -3.25 without the offset), and the room's high alarm reaches
// alarms.log, the broker and the alarm command.
TEST_F(ConnectedLoggerTest, PublishesWhatItRecordsWithTheRulesOfKalvoIni) {
    // Channel A heats the room by 1 °C/s between 22 and 23 °C: it goes on and off by itself.
    std::ofstream(dir_ / "simbus.conf")
        << kBus << "couple switch=0000000ABCDE channel=A sensor=00000A1B2C3D rate=60\n";
    WriteSettings(Root(), {{u"22", u"23", u"Комната", {}}, {u"-3", u"10", u"Улица", {}}});
    const fs::path env = dir_ / "alarm.env";
    std::ofstream(dir_ / "alarm.sh")
        << "#!/bin/sh\nenv | grep '^KALVO_ALARM_' | sort >> " << env << "\n";
    fs::permissions(dir_ / "alarm.sh", fs::perms::owner_all);
    WriteIni("[sensor " + kOutside + "]\noffset = 0,5\n[sensor " + kRoom +
             "]\nalarm_high = 20 ; below the room\n[alarm]\ncommand = " +
             (dir_ / "alarm.sh").string() + "\n");

    Subscriber sub(broker_.port());
    const std::string switch_a = kBase + "/switch/" + kSwitch + "/a/state";
    const std::string room_alarm = kBase + "/sensor/" + kRoom + "/alarm";
    {
        const auto run = Start({});
        ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>& all) {
            return After(all, 0, switch_a).size() >= 3 &&
                   Slurp(env).find("KALVO_ALARM_VALUE") != std::string::npos;
        })) << run->Err();
        ASSERT_EQ(run->Signal(SIGTERM), 0) << run->Err();
        ASSERT_TRUE(sub.WaitFor(kBase + "/status", "offline")) << run->Err();
        EXPECT_EQ(run->Err().find("Error"), std::string::npos) << run->Err();
    }
    EXPECT_EQ(sub.Payloads(kBase + "/status"), (std::vector<std::string>{"online", "offline"}));

    // Discovery: each thermometer with its alarm, each channel with its kind.
    for (const auto& [id, name] : {std::pair{kRoom, "Комната"}, std::pair{kOutside, "Улица"}}) {
        const std::string object = "kalvo_e2e_" + Underscored(id);
        const auto config = sub.Payloads("ha/sensor/" + object + "/config");
        ASSERT_EQ(config.size(), 1u) << id;
        EXPECT_NE(config[0].find("\"name\": \"" + std::string(name) + "\""), std::string::npos);
        EXPECT_NE(config[0].find("\"state_topic\": \"" + kBase + "/sensor/" + id + "/state\""),
                  std::string::npos)
            << config[0];
        EXPECT_EQ(sub.Payloads("ha/binary_sensor/" + object + "_alarm/config").size(), 1u) << id;
    }
    for (const char* channel : {"a", "b"}) {
        const auto config = sub.Payloads("ha/binary_sensor/kalvo_e2e_" + Underscored(kSwitch) +
                                         "_" + channel + "/config");
        ASSERT_EQ(config.size(), 1u) << channel;
        EXPECT_NE(config[0].find("\"device_class\": \"heat\""), std::string::npos) << config[0];
    }

    // One state per thermometer per pass, equal to the day file's records, offset included.
    std::map<std::string, std::map<std::string, double>> published;
    for (const std::string& id : {kRoom, kOutside}) {
        for (const std::string& payload : sub.Payloads(kBase + "/sensor/" + id + "/state")) {
            const std::optional<State> state = ParseState(payload);
            ASSERT_TRUE(state) << payload;
            EXPECT_TRUE(published[id].emplace(state->time, state->temperature).second) << payload;
        }
    }
    const SampleList records = Records(Root());
    ASSERT_GE(records.size(), 6u);
    size_t outside = 0;
    for (const SampleRecord& record : records) {
        const std::string id = W1Id(record.rom);
        SCOPED_TRACE(id + " " + IsoTime(record.time));
        ASSERT_EQ(record.valid, 1u);
        ASSERT_TRUE(published[id].count(IsoTime(record.time)));
        EXPECT_EQ(published[id][IsoTime(record.time)], record.temperature);
        if (id == kOutside) {
            ++outside;
            EXPECT_EQ(record.temperature, -2.75);
        }
    }
    EXPECT_EQ(published[kOutside].size(), outside);
    EXPECT_EQ(published[kRoom].size(), records.size() - outside);

    // The thermostat: A on and off as the room warms and cools; B held off by the offset.
    const std::vector<std::string> a = sub.Payloads(switch_a);
    EXPECT_EQ(std::vector<std::string>(a.begin(), a.begin() + 3),
              (std::vector<std::string>{"ON", "OFF", "ON"}));
    EXPECT_EQ(sub.Payloads(kBase + "/switch/" + kSwitch + "/b/state"),
              std::vector<std::string>{"OFF"});

    // The room's alarm, raised once at its first reading, everywhere.
    EXPECT_EQ(sub.Payloads(room_alarm), std::vector<std::string>{"high"});
    EXPECT_EQ(sub.Payloads(kBase + "/sensor/" + kOutside + "/alarm"),
              std::vector<std::string>{"ok"});
    const std::string log = Slurp(Root() / "alarms.log");
    EXPECT_NE(log.find("\t" + kRoom + "\tКомната\thigh\traised\t21.50\n"), std::string::npos)
        << log;
    const std::string said = Slurp(env);
    for (const std::string& line : std::vector<std::string>{
             "KALVO_ALARM_KIND=high\n", "KALVO_ALARM_STATE=raised\n", "KALVO_ALARM_NAME=Комната\n",
             "KALVO_ALARM_SENSOR=" + kRoom + "\n", "KALVO_ALARM_VALUE=21.50\n"})
        EXPECT_NE(said.find(line), std::string::npos) << line << said;

    // A killed logger: the broker says "offline" for it.
    const auto killed = Start({});
    ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>& now) {
        return Times(now, kBase + "/status", "online") == 2;
    })) << killed->Err();
    EXPECT_EQ(killed->Signal(SIGKILL), 128 + SIGKILL);
    EXPECT_TRUE(sub.WaitFor([&](const std::vector<Message>& now) {
        return Times(now, kBase + "/status", "offline") == 2;
    }));
}

// The broker killed mid-run and started again on its port after kBrokerDownS: every pass is in
// the day file on time, stderr says the broker went and came back, and the states flow again.
TEST_F(ConnectedLoggerTest, ABrokerThatDiesMidRunCostsNoPass) {
    const char* down_s_text = getenv("KALVO_BROKER_DOWN_S");
    const int down_s = down_s_text ? std::atoi(down_s_text) : kBrokerDownS;
    WriteSettings(Root());
    WriteIni();
    const std::string room = kBase + "/sensor/" + kRoom + "/state";
    const auto run = Start({});
    {
        Subscriber sub(broker_.port());
        ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>&) {
            return sub.Payloads(room).size() >= 2;
        })) << run->Err();
    }
    const int64_t killed = Now();
    broker_.Stop(SIGKILL);
    std::this_thread::sleep_for(std::chrono::seconds(down_s));
    broker_.Start();
    const auto back = std::chrono::steady_clock::now();
    // The broker kept nothing: whatever arrives was published after its return.
    Subscriber sub(broker_.port());
    ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>&) {
        return !sub.Payloads(room).empty();
    })) << run->Err();
    const double republished_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count();
    // And goes on: a pass made after that one arrives too.
    const std::string since = IsoTime(Now());
    ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>&) {
        return ParseState(sub.Payloads(room).back())->time > since;
    })) << run->Err();
    ASSERT_EQ(run->Signal(SIGTERM), 0) << run->Err();

    const std::string where = "127.0.0.1:" + std::to_string(broker_.port());
    const std::string err = run->Err();
    const size_t gone = err.find("MQTT: disconnected from " + where + ": ");
    EXPECT_NE(gone, std::string::npos) << err;
    EXPECT_NE(err.find("MQTT: connected to " + where + " again", gone), std::string::npos) << err;

    std::vector<int64_t> passes;
    for (const SampleRecord& record : Records(Root())) {
        EXPECT_EQ(record.valid, 1u);
        if (passes.empty() || passes.back() != record.time) passes.push_back(record.time);
    }
    ASSERT_GE(passes.size(), 2u);
    ASSERT_LT(passes.front(), killed);
    ASSERT_GT(passes.back(), killed + down_s);
    int64_t widest = 0;
    for (size_t i = 1; i < passes.size(); ++i) widest = std::max(widest, passes[i] - passes[i - 1]);
    const int64_t expected = (passes.back() - passes.front()) / 2 + 1;  // the period is 2 s
    std::printf(
        "broker down %d s: %zu passes recorded over %lld s (%lld expected), widest gap "
        "%lld s, republished %.1f s after the broker was back\n",
        down_s, passes.size(), static_cast<long long>(passes.back() - passes.front()),
        static_cast<long long>(expected), static_cast<long long>(widest), republished_s);
    EXPECT_GE(int64_t(passes.size()), expected);
    EXPECT_LE(widest, 3);  // a period and the rounding of whole seconds
}

// A three-step scenario (3 s heating, 12 s not, then heating) on channel A: a logger killed in
// step 2 continues it at the next start in step 2 with the time it had left, counting the time
// it was down; after an orderly close the next start begins it again.
TEST_F(ConnectedLoggerTest, AScenarioContinuesAfterAKillAndStartsAgainAfterAClose) {
    GridSn scenarios;
    scenarios.SetCellNumber(0, GridSn::kColCycles, 1);
    scenarios.SetCellText(0, GridSn::kColFirstStep, u"0:0:3;30/31");
    scenarios.SetCellText(0, GridSn::kColFirstStep + 1, u"0:0:12;10/11");
    scenarios.SetCellText(0, GridSn::kColFirstStep + 2, u"0:1:0;30/31");
    scenarios.SetCellText(0, GridSn::kColFirstStep + 3, u"0:0:0;");
    const std::string file = (dir_ / "three.snr").string();
    ASSERT_TRUE(SaveScenarios(scenarios, file).ok);
    WriteSettings(Root(), {{{}, {}, u"Комната", u"1"}});
    WriteIni();
    const auto start_time = [&] {
        const std::optional<std::string> text = ReadWholeFile((Root() / "scenarios.run").string());
        const std::optional<ScenarioRunState> state = text ? DecodeRunState(*text) : std::nullopt;
        return state && state->runs.size() == 1 ? state->runs[0].start_time : int64_t(-1);
    };
    const std::string switch_a = kBase + "/switch/" + kSwitch + "/a/state";
    const std::string room = kBase + "/sensor/" + kRoom + "/state";
    Subscriber sub(broker_.port());

    // Killed once step 2 has switched the heater off.
    int64_t start = -1;
    {
        const auto run = Start({"--scenarios", file});
        ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>& all) {
            return After(all, 0, switch_a) == std::vector<std::string>{"ON", "OFF"};
        })) << run->Err()
            << testing::PrintToString(sub.Payloads(switch_a));
        start = start_time();
        ASSERT_GT(start, 0);
        EXPECT_EQ(run->Signal(SIGKILL), 128 + SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));

    // Step 2 again, and the heater on when step 3 begins, 15 s after the scenario began; the
    // pass that switched it is the last state before its "ON".
    {
        const auto run = Start({"--scenarios", file});
        ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>& all) {
            return After(all, 1, switch_a).size() == 2;
        })) << run->Err();
        EXPECT_NE(run->Err().find("Scenarios continued after an unexpected end: Sn_1 step 2\n"),
                  std::string::npos)
            << run->Err();
        EXPECT_EQ(After(sub.messages(), 1, switch_a), (std::vector<std::string>{"OFF", "ON"}));
        EXPECT_EQ(start_time(), start);
        std::string switched;
        int online = -1;
        for (const Message& m : sub.messages()) {
            if (m.topic == kBase + "/status" && m.payload == "online") ++online;
            if (online == 1 && m.topic == room) switched = ParseState(m.payload)->time;
            if (online == 1 && m.topic == switch_a && m.payload == "ON") break;
        }
        // Step 3 from its 16th second on; a step 2 begun again at this start would end 12 s
        // after it, at 20 s or later.
        EXPECT_GE(switched, IsoTime(start + 15));
        EXPECT_LE(switched, IsoTime(start + 18));
        EXPECT_EQ(run->Signal(SIGTERM), 0) << run->Err();
    }

    // After the orderly close: from the beginning, heating in step 1.
    const int64_t restarted = Now();
    const auto run = Start({"--scenarios", file});
    ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>& all) {
        return !After(all, 2, switch_a).empty();
    })) << run->Err();
    EXPECT_EQ(After(sub.messages(), 2, switch_a).front(), "ON");
    EXPECT_GE(start_time(), restarted);
    EXPECT_EQ(run->Err().find("Scenarios continued"), std::string::npos) << run->Err();
    EXPECT_EQ(run->Signal(SIGTERM), 0) << run->Err();
}

}  // namespace
}  // namespace kalvo
