#pragma once
// Publishes the passes, the switch channels and the alarms to an MQTT broker, with discovery
// messages for home-automation hubs. Read-only: nothing it receives reaches an output.
//
// The engine's thread only copies into a bounded queue; one thread of the publisher's own talks
// to the broker, so a broker that is down, slow or refusing never holds up measuring. While the
// broker is away the queue keeps the latest entries (the oldest states go first, counted) and the
// publisher reconnects with a growing pause.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/common/pass_report.h"
#include "core/config/mqtt_config.h"

namespace kalvo {

class MqttPublisher : public PassListener {
  public:
    // One line for the status bar or stderr: "MQTT: ...", UTF-8. Called on the publisher's thread.
    using StatusSink = std::function<void(const std::string& line)>;

    struct Options {
        size_t queue_limit = 1000;  // passes, channel lists and alarms waiting for the broker
        int first_retry_ms = 1000;  // pause after the first failed attempt, doubled up to
        int longest_retry_ms = 60000;
        int keepalive_s = 30;
        size_t in_flight_limit = 200;  // messages handed to the broker but not yet confirmed
    };

    struct Stats {
        uint64_t dropped = 0;    // queue entries dropped because the queue was full
        uint64_t published = 0;  // messages handed to the broker
        bool connected = false;
    };

    // `period_s` is the measuring period; sensors expire after three of them. The thread starts
    // with Start.
    MqttPublisher(MqttConfig config, StatusSink status, int period_s);
    MqttPublisher(MqttConfig config, StatusSink status, int period_s, Options options);
    // Stops as Stop does.
    ~MqttPublisher() override;
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    void Start();
    // Publishes what is queued (for at most a few seconds), then "offline", disconnects and ends
    // the thread. Idempotent.
    void Stop();

    void OnPass(const PassReport& report) override;
    void OnChannels(const std::vector<ChannelState>& channels) override;
    void OnAlarm(const AlarmEvent& event) override;

    Stats stats() const;
    const MqttConfig& config() const { return config_; }

    // "kalvo/<node>".
    std::string BaseTopic() const;

  private:
    struct Entry {
        enum class Kind { kPass, kChannels, kAlarm };
        Kind kind = Kind::kPass;
        PassReport pass;
        std::vector<ChannelState> channels;
        AlarmEvent alarm;
    };
    class Session;
    friend class Session;
    void Push(Entry entry);
    void Run();

    const MqttConfig config_;
    const StatusSink status_;
    const Options options_;
    const int first_period_s_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Entry> queue_;
    bool stop_ = false;
    Stats stats_;
    std::thread thread_;
};

}  // namespace kalvo
