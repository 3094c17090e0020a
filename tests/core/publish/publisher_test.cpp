// The publisher against a real broker started on a loopback port, watched by a subscriber.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <thread>

#include "broker_fixture.h"
#include "core/publish/mqtt_publisher.h"

namespace kalvo {
namespace {

using namespace testing_mqtt;

// The status lines, as the status bar would show them.
class StatusLines {
  public:
    MqttPublisher::StatusSink Sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        };
    }
    bool WaitFor(const std::string& part) {
        return Poll([&] {
            std::lock_guard lock(mutex_);
            for (const std::string& line : lines_) {
                if (line.find(part) != std::string::npos) return true;
            }
            return false;
        });
    }
    std::string All() {
        std::lock_guard lock(mutex_);
        std::string out;
        for (const std::string& line : lines_) out += line + "\n";
        return out;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

constexpr uint64_t kRoom = 0xC60000031F3C6B28;     // 28-0000031f3c6b
constexpr uint64_t kOutside = 0x770008015E3B7710;  // 10-0008015e3b77
constexpr uint64_t kSwitch = 0x8E0000000E00043A;   // 3a-0000000e0004

SampleRecord Sample(uint64_t rom, std::u16string name, double t, int64_t time, uint32_t valid = 1) {
    SampleRecord s;
    s.rom = rom;
    s.name = std::move(name);
    s.temperature = t;
    s.time = time;
    s.valid = valid;
    return s;
}

PassReport Pass(int64_t time, SampleList samples) {
    PassReport report;
    report.time = time;
    report.period = 2;
    report.samples = std::move(samples);
    return report;
}

MqttConfig Config(int port) {
    MqttConfig config;
    config.enabled = true;
    config.host = "127.0.0.1";
    config.port = port;
    config.node = "cellar";
    config.discovery_prefix = "ha";
    return config;
}

MqttPublisher::Options Quick() {
    MqttPublisher::Options options;
    options.first_retry_ms = 100;
    options.longest_retry_ms = 400;
    return options;
}

constexpr int64_t kT0 = 1796656561;  // 2026-12-07 15:16:01 UTC

TEST(Publisher, PublishesDiscoveryStatesSwitchesAndAlarms) {
    Broker broker(FreePort());
    broker.Start();
    Subscriber sub(broker.port());
    StatusLines status;
    MqttPublisher publisher(Config(broker.port()), status.Sink(), 2, Quick());
    publisher.Start();

    ChannelState heater;
    heater.rom = kSwitch;
    heater.on = true;
    heater.name = u"Комната";
    ChannelState cooler = heater;
    cooler.channel = 1;
    cooler.type = 1;
    cooler.on = false;
    cooler.name.clear();
    publisher.OnChannels({heater, cooler});
    publisher.OnPass(Pass(kT0, {Sample(kRoom, u"Комната", 21.5, kT0),
                                Sample(kOutside, u"Двор \"север\"", 85.0, kT0, 0)}));
    publisher.OnPass(Pass(kT0 + 2, {Sample(kRoom, u"Комната", 21.4375, kT0 + 2),
                                    Sample(kOutside, u"Двор \"север\"", -3.0, kT0 + 2)}));
    AlarmEvent high;
    high.rom = kRoom;
    high.kind = AlarmKind::kHigh;
    publisher.OnAlarm(high);
    AlarmEvent clear = high;
    clear.kind = AlarmKind::kOk;
    clear.cleared = AlarmKind::kHigh;
    publisher.OnAlarm(clear);
    cooler.on = true;
    publisher.OnChannels({heater, cooler});

    const std::string base = "kalvo/cellar";
    const std::string room_config = "ha/sensor/kalvo_cellar_28_0000031f3c6b/config";
    ASSERT_TRUE(sub.WaitFor(base + "/switch/3a-0000000e0004/b/state", "ON")) << status.All();
    EXPECT_TRUE(status.WaitFor("MQTT: connected to 127.0.0.1:" + std::to_string(broker.port())));
    const std::string device =
        R"("device": {"identifiers": ["kalvo_cellar"], "name": "Kalvo cellar", )"
        R"("model": "1-Wire thermometers and switches"})";
    EXPECT_EQ(sub.Payloads(base + "/status"), std::vector<std::string>{"online"});
    EXPECT_EQ(sub.Payloads(room_config),
              std::vector<std::string>{
                  R"({"name": "Комната", "unique_id": "kalvo_cellar_28_0000031f3c6b", )"
                  R"("device_class": "temperature", "state_class": "measurement", )"
                  R"("unit_of_measurement": "°C", )"
                  R"("state_topic": "kalvo/cellar/sensor/28-0000031f3c6b/state", )"
                  R"("value_template": "{{ value_json.temperature }}", )"
                  R"("availability_topic": "kalvo/cellar/status", "expire_after": 6, )" +
                  device + "}"});
    EXPECT_EQ(
        sub.Payloads(base + "/sensor/28-0000031f3c6b/state"),
        (std::vector<std::string>{
            R"({"temperature": 21.5, "name": "Комната", "time": "2026-12-07T15:16:01Z"})",
            R"({"temperature": 21.4375, "name": "Комната", "time": "2026-12-07T15:16:03Z"})"}));
    EXPECT_EQ(
        sub.Payloads(base + "/sensor/10-0008015e3b77/state"),
        (std::vector<std::string>{
            R"({"temperature": null, "name": "Двор \"север\"", "time": "2026-12-07T15:16:01Z"})",
            R"({"temperature": -3, "name": "Двор \"север\"", "time": "2026-12-07T15:16:03Z"})"}));
    EXPECT_EQ(sub.Payloads(base + "/sensor/28-0000031f3c6b/alarm"),
              (std::vector<std::string>{"ok", "high", "ok"}));
    const auto alarm_config =
        sub.Payloads("ha/binary_sensor/kalvo_cellar_28_0000031f3c6b_alarm/config");
    ASSERT_EQ(alarm_config.size(), 1u);
    EXPECT_NE(alarm_config[0].find(R"("device_class": "problem", )"
                                   R"("state_topic": "kalvo/cellar/sensor/28-0000031f3c6b/alarm")"),
              std::string::npos)
        << alarm_config[0];
    EXPECT_EQ(sub.Payloads(base + "/switch/3a-0000000e0004/a/state"),
              std::vector<std::string>{"ON"});  // unchanged channels are not sent again
    EXPECT_EQ(sub.Payloads(base + "/switch/3a-0000000e0004/b/state"),
              (std::vector<std::string>{"OFF", "ON"}));
    const auto heat = sub.Payloads("ha/binary_sensor/kalvo_cellar_3a_0000000e0004_a/config");
    const auto cold = sub.Payloads("ha/binary_sensor/kalvo_cellar_3a_0000000e0004_b/config");
    ASSERT_EQ(heat.size(), 1u);
    ASSERT_EQ(cold.size(), 1u);
    EXPECT_NE(
        heat[0].find("\"name\": \"Комната (3a-0000000e0004 A)\", "
                     R"("unique_id": "kalvo_cellar_3a_0000000e0004_a", "device_class": "heat")"),
        std::string::npos)
        << heat[0];
    EXPECT_NE(cold[0].find(R"("device_class": "cold", )"
                           R"("state_topic": "kalvo/cellar/switch/3a-0000000e0004/b/state", )"
                           R"("payload_on": "ON", "payload_off": "OFF")"),
              std::string::npos)
        << cold[0];
    // A subscriber that comes later finds the latest of everything kept by the broker.
    Subscriber late(broker.port());
    ASSERT_TRUE(late.WaitFor(base + "/switch/3a-0000000e0004/b/state", "ON"));
    ASSERT_TRUE(late.WaitFor(base + "/sensor/28-0000031f3c6b/alarm", "ok"));
    EXPECT_TRUE(late.WaitFor(room_config, sub.Payloads(room_config).back()));
    for (const Message& m : late.messages()) EXPECT_TRUE(m.retained) << m.topic;

    // A rename and a changed period update the discovery; the hub's birth asks for all of it.
    PassReport renamed = Pass(kT0 + 4, {Sample(kRoom, u"Погреб", 12.0, kT0 + 4)});
    renamed.period = 10;
    publisher.OnPass(renamed);
    ASSERT_TRUE(sub.WaitFor(
        [&](const std::vector<Message>&) { return sub.Payloads(room_config).size() == 2; }));
    EXPECT_NE(sub.Payloads(room_config)[1].find(R"("name": "Погреб")"), std::string::npos);
    EXPECT_NE(sub.Payloads(room_config)[1].find(R"("expire_after": 30)"), std::string::npos);
    sub.Send("ha/status", "online");
    ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>&) {
        return sub.Payloads(room_config).size() == 3 &&
               sub.Payloads(base + "/switch/3a-0000000e0004/a/state").size() == 2;
    }));

    publisher.Stop();
    EXPECT_TRUE(sub.WaitFor(base + "/status", "offline"));
    EXPECT_EQ(publisher.stats().dropped, 0u);
}

TEST(Publisher, TheBrokerSaysOfflineWhenThePublisherDies) {
    Broker broker(FreePort());
    broker.Start();
    Subscriber sub(broker.port());
    const pid_t child = fork();
    if (child == 0) {
        const std::string port = std::to_string(broker.port());
        execl(KALVO_PUBLISH_CHILD, "publish_child", port.c_str(), "doomed",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    const bool online = sub.WaitFor("kalvo/doomed/status", "online");
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(online);
    EXPECT_TRUE(sub.WaitFor("kalvo/doomed/status", "offline"));
}

TEST(Publisher, ABrokerRestartNeverHoldsUpTheCallerAndPublishingResumes) {
    Broker broker(FreePort());
    broker.Start();
    StatusLines status;
    MqttPublisher publisher(Config(broker.port()), status.Sink(), 2, Quick());
    publisher.Start();
    publisher.OnPass(Pass(kT0, {Sample(kRoom, u"Комната", 20.0, kT0)}));
    ASSERT_TRUE(status.WaitFor("MQTT: connected to")) << status.All();

    broker.Stop(SIGKILL);
    ASSERT_TRUE(status.WaitFor("MQTT: disconnected from 127.0.0.1:")) << status.All();
    // While the broker is away every call returns at once (generously bounded here: a blocked
    // call would wait for the broker, which is not coming back during the loop).
    const auto start = Clock::now();
    for (int i = 1; i <= 50; ++i)
        publisher.OnPass(Pass(kT0 + 2 * i, {Sample(kRoom, u"Комната", 20.0 + i, kT0 + 2 * i)}));
    EXPECT_LT(Clock::now() - start, 5s);

    broker.Start();
    ASSERT_TRUE(
        status.WaitFor("MQTT: connected to 127.0.0.1:" + std::to_string(broker.port()) + " again"))
        << status.All();
    Subscriber sub(broker.port());
    EXPECT_TRUE(sub.WaitFor("kalvo/cellar/status", "online"));
    EXPECT_TRUE(sub.WaitFor([](const std::vector<Message>& all) {
        for (const Message& m : all) {
            if (m.topic == "kalvo/cellar/sensor/28-0000031f3c6b/state" &&
                m.payload.find("\"temperature\": 70,") != std::string::npos)
                return true;
        }
        return false;
    }));
    EXPECT_EQ(publisher.stats().dropped, 0u);
}

TEST(Publisher, TheQueueKeepsTheNewestWhileNoBrokerAnswers) {
    Broker broker(FreePort());
    StatusLines status;
    MqttPublisher::Options options = Quick();
    options.queue_limit = 3;
    MqttPublisher publisher(Config(broker.port()), status.Sink(), 2, options);
    publisher.Start();
    ASSERT_TRUE(status.WaitFor("MQTT: cannot connect to 127.0.0.1:")) << status.All();
    // One thermometer per pass, so the retained states show which passes survived.
    for (int i = 0; i < 10; ++i) {
        publisher.OnPass(
            Pass(kT0 + 2 * i, {Sample(kRoom + uint64_t(i) * 0x100, u"", 1.0 * i, kT0 + 2 * i)}));
    }
    EXPECT_EQ(publisher.stats().dropped, 7u);

    broker.Start();
    ASSERT_TRUE(status.WaitFor("7 queued entries were dropped")) << status.All();
    Subscriber sub(broker.port());
    ASSERT_TRUE(sub.WaitFor("kalvo/cellar/sensor/" + W1Id(kRoom + 9 * 0x100) + "/state",
                            R"({"temperature": 9, "name": "", "time": "2026-12-07T15:16:19Z"})"));
    for (int i = 0; i < 10; ++i) {
        const std::string topic =
            "kalvo/cellar/sensor/" + W1Id(kRoom + uint64_t(i) * 0x100) + "/state";
        EXPECT_EQ(sub.Payloads(topic).size(), i < 7 ? 0u : 1u) << topic;
    }
}

}  // namespace
}  // namespace kalvo
