#include "core/publish/mqtt_publisher.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <utility>

#include "core/archive/data_file.h"
#include "core/archive/line_protocol.h"
#include "core/common/text.h"

namespace kalvo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kQos = 1;
constexpr int kLoopWaitMs = 100;
constexpr auto kConnectTimeout = std::chrono::seconds(15);
constexpr auto kStopGrace = std::chrono::seconds(3);

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string Json(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string IsoTime(int64_t seconds) {
    const time_t t = time_t(seconds);
    std::tm tm{};
    if (!gmtime_r(&t, &tm)) return "";
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

std::string Underscored(std::string id) {
    for (char& c : id) {
        if (c == '-') c = '_';
    }
    return id;
}

const char* Letter(int channel) {
    return channel == 0 ? "a" : "b";
}

struct MosquittoDeleter {
    void operator()(mosquitto* handle) const { mosquitto_destroy(handle); }
};

}  // namespace

// The broker connection and what has been told over it; lives on the publisher's thread only.
class MqttPublisher::Session {
  public:
    explicit Session(MqttPublisher& owner)
        : owner_(owner),
          config_(owner.config_),
          base_(owner.BaseTopic()),
          status_topic_(base_ + "/status"),
          period_s_(owner.first_period_s_) {}

    void Run();

  private:
    struct Thermometer {
        std::string name;  // UTF-8
        std::string announced_name;
        int announced_period = 0;
        bool announced = false;
        AlarmKind alarm = AlarmKind::kOk;
    };
    struct Channel {
        ChannelState state;
        bool announced = false;
        std::string announced_name;
        int announced_type = -1;
        bool published = false;
        bool published_on = false;
    };

    static void OnConnect(mosquitto*, void* self, int rc) {
        static_cast<Session*>(self)->Connected(rc);
    }
    static void OnPublish(mosquitto*, void* self, int) {
        auto* session = static_cast<Session*>(self);
        if (session->in_flight_ > 0) --session->in_flight_;
    }
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
        static_cast<Session*>(self)->Received(message);
    }

    bool Setup();
    void Connected(int rc);
    void Received(const mosquitto_message* message);
    void Say(const std::string& text) {
        if (owner_.status_) owner_.status_("MQTT: " + text);
    }
    std::string Where() const { return config_.host + ":" + std::to_string(config_.port); }
    void LinkFailed(const std::string& reason);
    bool Publish(const std::string& topic, const std::string& payload, bool retain = true);
    void Hello();
    void AnnounceAll();
    void Drain(Clock::time_point deadline);
    void Handle(const Entry& entry);
    void HandlePass(const PassReport& report);
    void HandleChannels(const std::vector<ChannelState>& channels);
    void HandleAlarm(const AlarmEvent& event);
    Thermometer& Know(uint64_t rom, const std::string& name, bool* fresh);
    void AnnounceThermometer(uint64_t rom, Thermometer& t);
    void AnnounceChannel(Channel& channel);
    void PublishChannel(Channel& channel);
    void PublishAlarm(uint64_t rom, const Thermometer& t);
    std::string Device() const;
    void Orderly();

    MqttPublisher& owner_;
    const MqttConfig& config_;
    const std::string base_;
    const std::string status_topic_;
    std::unique_ptr<mosquitto, MosquittoDeleter> mosq_;

    bool link_ = false;       // a socket is open or opening
    bool connected_ = false;  // the broker accepted us
    bool hello_due_ = false;
    bool announce_due_ = false;
    std::string refused_;  // the broker's reason when it refused the connection
    Clock::time_point link_started_{};
    Clock::time_point next_attempt_{};
    int retry_ms_ = 0;
    bool said_down_ = false;
    bool ever_connected_ = false;
    size_t in_flight_ = 0;
    uint64_t dropped_seen_ = 0;

    int period_s_;
    std::vector<uint64_t> order_;  // thermometers in order of first appearance
    std::map<uint64_t, Thermometer> thermometers_;
    std::vector<std::pair<uint64_t, int>> channel_order_;
    std::map<std::pair<uint64_t, int>, Channel> channels_;
};

bool MqttPublisher::Session::Setup() {
    InitLibrary();
    const std::string client_id =
        "kalvo-" + config_.node + "-" + std::to_string(static_cast<long>(::getpid()));
    mosq_.reset(mosquitto_new(client_id.c_str(), true, this));
    if (!mosq_) {
        Say("cannot create a client: " + std::string(std::strerror(errno)) + "; not publishing");
        return false;
    }
    mosquitto_int_option(mosq_.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq_.get(), OnConnect);
    mosquitto_publish_callback_set(mosq_.get(), OnPublish);
    mosquitto_message_callback_set(mosq_.get(), OnMessage);
    int rc = mosquitto_will_set(mosq_.get(), status_topic_.c_str(), 7, "offline", kQos, true);
    if (rc == MOSQ_ERR_SUCCESS && !config_.user.empty()) {
        rc = mosquitto_username_pw_set(
            mosq_.get(), config_.user.c_str(),
            config_.password.empty() ? nullptr : config_.password.c_str());
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        Say(std::string("cannot set up the client: ") + mosquitto_strerror(rc) +
            "; not publishing");
        return false;
    }
    if (!config_.tls_ca_file.empty()) {
        rc = mosquitto_tls_set(mosq_.get(), config_.tls_ca_file.c_str(), nullptr, nullptr, nullptr,
                               nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            Say("TLS with " + config_.tls_ca_file + ": " + mosquitto_strerror(rc) +
                "; not publishing");
            return false;
        }
    }
    return true;
}

void MqttPublisher::Session::Connected(int rc) {
    if (rc != 0) {
        refused_ = mosquitto_connack_string(rc);
        return;
    }
    connected_ = true;
    hello_due_ = true;
    refused_.clear();
    retry_ms_ = 0;
    in_flight_ = 0;  // what the client still resends is confirmed without being counted again
    {
        std::lock_guard lock(owner_.mutex_);
        owner_.stats_.connected = true;
    }
    if (!ever_connected_)
        Say("connected to " + Where() + ", publishing under " + base_);
    else
        Say("connected to " + Where() + " again");
    ever_connected_ = true;
    said_down_ = false;
}

void MqttPublisher::Session::Received(const mosquitto_message* message) {
    // The only subscription: the hub saying it (re)started, so it needs the discovery again.
    if (!message || !message->topic) return;
    if (config_.discovery && message->topic == config_.discovery_prefix + "/status" &&
        message->payloadlen == 6 && std::memcmp(message->payload, "online", 6) == 0)
        announce_due_ = true;
}

void MqttPublisher::Session::LinkFailed(const std::string& reason) {
    const bool was_connected = connected_;
    link_ = false;
    connected_ = false;
    {
        std::lock_guard lock(owner_.mutex_);
        owner_.stats_.connected = false;
    }
    std::string why = refused_.empty() ? reason : refused_;
    if (!why.empty() && why.back() == '.') why.pop_back();  // the library's texts end in one
    refused_.clear();
    if (was_connected) {
        Say("disconnected from " + Where() + ": " + why + "; retrying");
        said_down_ = true;
    } else if (!said_down_) {
        Say("cannot connect to " + Where() + ": " + why + "; retrying");
        said_down_ = true;
    }
    retry_ms_ = retry_ms_ == 0 ? owner_.options_.first_retry_ms
                               : std::min(retry_ms_ * 2, owner_.options_.longest_retry_ms);
    next_attempt_ = Clock::now() + milliseconds(retry_ms_);
}

bool MqttPublisher::Session::Publish(const std::string& topic, const std::string& payload,
                                     bool retain) {
    const int rc = mosquitto_publish(mosq_.get(), nullptr, topic.c_str(), int(payload.size()),
                                     payload.data(), kQos, retain);
    if (rc != MOSQ_ERR_SUCCESS) return false;
    ++in_flight_;
    std::lock_guard lock(owner_.mutex_);
    ++owner_.stats_.published;
    return true;
}

std::string MqttPublisher::Session::Device() const {
    return "{\"identifiers\": [" + Json("kalvo_" + config_.node) +
           "], \"name\": " + Json("Kalvo " + config_.node) +
           ", \"model\": \"1-Wire thermometers and switches\"}";
}

void MqttPublisher::Session::AnnounceThermometer(uint64_t rom, Thermometer& t) {
    if (!config_.discovery) return;
    const std::string id = W1Id(rom);
    const std::string object = "kalvo_" + config_.node + "_" + Underscored(id);
    const std::string name = t.name.empty() ? id : t.name;
    const std::string state = base_ + "/sensor/" + id;
    Publish(config_.discovery_prefix + "/sensor/" + object + "/config",
            "{\"name\": " + Json(name) + ", \"unique_id\": " + Json(object) +
                ", \"device_class\": \"temperature\", \"state_class\": \"measurement\", "
                "\"unit_of_measurement\": \"\u00b0C\", \"state_topic\": " +
                Json(state + "/state") +
                ", \"value_template\": \"{{ value_json.temperature }}\", "
                "\"availability_topic\": " +
                Json(status_topic_) + ", \"expire_after\": " + std::to_string(3 * period_s_) +
                ", \"device\": " + Device() + "}");
    Publish(config_.discovery_prefix + "/binary_sensor/" + object + "_alarm/config",
            "{\"name\": " + Json(name + " alarm") + ", \"unique_id\": " + Json(object + "_alarm") +
                ", \"device_class\": \"problem\", \"state_topic\": " + Json(state + "/alarm") +
                ", \"value_template\": \"{{ 'OFF' if value == 'ok' else 'ON' }}\", "
                "\"payload_on\": \"ON\", \"payload_off\": \"OFF\", \"availability_topic\": " +
                Json(status_topic_) + ", \"device\": " + Device() + "}");
    t.announced = true;
    t.announced_name = t.name;
    t.announced_period = period_s_;
}

void MqttPublisher::Session::AnnounceChannel(Channel& channel) {
    if (!config_.discovery) return;
    const ChannelState& s = channel.state;
    const std::string id = W1Id(s.rom);
    const std::string object =
        "kalvo_" + config_.node + "_" + Underscored(id) + "_" + Letter(s.channel);
    const std::string label = id + (s.channel == 0 ? " A" : " B");
    const std::string controller = Utf16ToUtf8(s.name);
    const std::string name = controller.empty() ? label : controller + " (" + label + ")";
    Publish(config_.discovery_prefix + "/binary_sensor/" + object + "/config",
            "{\"name\": " + Json(name) + ", \"unique_id\": " + Json(object) +
                ", \"device_class\": " + (s.type == 1 ? "\"cold\"" : "\"heat\"") +
                ", \"state_topic\": " +
                Json(base_ + "/switch/" + id + "/" + Letter(s.channel) + "/state") +
                ", \"payload_on\": \"ON\", \"payload_off\": \"OFF\", \"availability_topic\": " +
                Json(status_topic_) + ", \"device\": " + Device() + "}");
    channel.announced = true;
    channel.announced_name = controller;
    channel.announced_type = s.type;
}

void MqttPublisher::Session::PublishChannel(Channel& channel) {
    const ChannelState& s = channel.state;
    if (Publish(base_ + "/switch/" + W1Id(s.rom) + "/" + Letter(s.channel) + "/state",
                s.on ? "ON" : "OFF")) {
        channel.published = true;
        channel.published_on = s.on;
    }
}

void MqttPublisher::Session::PublishAlarm(uint64_t rom, const Thermometer& t) {
    Publish(base_ + "/sensor/" + W1Id(rom) + "/alarm", AlarmKindText(t.alarm));
}

// Everything a subscriber or a hub needs at once after a connect: the birth message, the
// discovery, and the states that only change now and then.
void MqttPublisher::Session::Hello() {
    hello_due_ = false;
    Publish(status_topic_, "online");
    if (config_.discovery) {
        mosquitto_subscribe(mosq_.get(), nullptr, (config_.discovery_prefix + "/status").c_str(),
                            kQos);
    }
    for (auto& [key, channel] : channels_) channel.published = false;
    AnnounceAll();
}

void MqttPublisher::Session::AnnounceAll() {
    announce_due_ = false;
    for (uint64_t rom : order_) {
        Thermometer& t = thermometers_[rom];
        AnnounceThermometer(rom, t);
        PublishAlarm(rom, t);
    }
    for (const auto& key : channel_order_) {
        Channel& channel = channels_[key];
        AnnounceChannel(channel);
        PublishChannel(channel);
    }
}

MqttPublisher::Session::Thermometer& MqttPublisher::Session::Know(uint64_t rom,
                                                                  const std::string& name,
                                                                  bool* fresh) {
    auto [it, added] = thermometers_.try_emplace(rom);
    if (added) order_.push_back(rom);
    it->second.name = name;
    *fresh = added;
    return it->second;
}

void MqttPublisher::Session::HandlePass(const PassReport& report) {
    if (report.period > 0) period_s_ = report.period;
    for (const SampleRecord& sample : report.samples) {
        bool fresh = false;
        Thermometer& t = Know(sample.rom, Utf16ToUtf8(sample.name), &fresh);
        if (!t.announced || t.announced_name != t.name || t.announced_period != period_s_)
            AnnounceThermometer(sample.rom, t);
        if (fresh) PublishAlarm(sample.rom, t);
        const std::string temperature =
            SHELL::HoldsReading(sample) ? ShortestDecimal(sample.temperature) : "null";
        Publish(base_ + "/sensor/" + W1Id(sample.rom) + "/state",
                "{\"temperature\": " + temperature + ", \"name\": " + Json(t.name) +
                    ", \"time\": " + Json(IsoTime(sample.time)) + "}");
    }
}

void MqttPublisher::Session::HandleChannels(const std::vector<ChannelState>& states) {
    for (const ChannelState& s : states) {
        const std::pair<uint64_t, int> key{s.rom, s.channel};
        auto [it, added] = channels_.try_emplace(key);
        if (added) channel_order_.push_back(key);
        Channel& channel = it->second;
        channel.state = s;
        if (!channel.announced || channel.announced_type != s.type ||
            channel.announced_name != Utf16ToUtf8(s.name))
            AnnounceChannel(channel);
        if (!channel.published || channel.published_on != s.on) PublishChannel(channel);
    }
}

void MqttPublisher::Session::HandleAlarm(const AlarmEvent& event) {
    bool fresh = false;
    auto found = thermometers_.find(event.rom);
    Thermometer& t = found != thermometers_.end()
                         ? found->second
                         : Know(event.rom, Utf16ToUtf8(event.name), &fresh);
    if (fresh) AnnounceThermometer(event.rom, t);
    t.alarm = event.kind;
    PublishAlarm(event.rom, t);
}

void MqttPublisher::Session::Handle(const Entry& entry) {
    switch (entry.kind) {
        case Entry::Kind::kPass:
            HandlePass(entry.pass);
            break;
        case Entry::Kind::kChannels:
            HandleChannels(entry.channels);
            break;
        case Entry::Kind::kAlarm:
            HandleAlarm(entry.alarm);
            break;
    }
}

// Publishes queued entries while the broker keeps up.
void MqttPublisher::Session::Drain(Clock::time_point deadline) {
    while (connected_ && in_flight_ < owner_.options_.in_flight_limit && Clock::now() < deadline) {
        Entry entry;
        {
            std::lock_guard lock(owner_.mutex_);
            if (owner_.queue_.empty()) return;
            entry = std::move(owner_.queue_.front());
            owner_.queue_.pop_front();
        }
        Handle(entry);
    }
}

void MqttPublisher::Session::Orderly() {
    const auto deadline = Clock::now() + kStopGrace;
    // The last passes and the farewell, each given the time the broker needs to confirm them.
    while (connected_ && Clock::now() < deadline) {
        Drain(deadline);
        {
            std::lock_guard lock(owner_.mutex_);
            if (owner_.queue_.empty()) break;
        }
        if (mosquitto_loop(mosq_.get(), kLoopWaitMs, 1) != MOSQ_ERR_SUCCESS) return;
    }
    if (!connected_) return;
    Publish(status_topic_, "offline");
    while (in_flight_ > 0 && Clock::now() < deadline) {
        if (mosquitto_loop(mosq_.get(), kLoopWaitMs, 1) != MOSQ_ERR_SUCCESS) return;
    }
    mosquitto_disconnect(mosq_.get());
    mosquitto_loop(mosq_.get(), 0, 1);
}

void MqttPublisher::Session::Run() {
    if (!Setup()) return;
    for (;;) {
        {
            std::unique_lock lock(owner_.mutex_);
            if (owner_.stop_) break;
            if (owner_.stats_.dropped != dropped_seen_ && connected_) {
                // Reported once the broker is back, so the gap in the data has an explanation.
                const uint64_t dropped = owner_.stats_.dropped - dropped_seen_;
                dropped_seen_ = owner_.stats_.dropped;
                lock.unlock();
                Say(std::to_string(dropped) +
                    " queued entries were dropped, oldest first, to keep the queue bounded");
            }
        }
        if (!link_) {
            const auto now = Clock::now();
            if (now < next_attempt_) {
                std::unique_lock lock(owner_.mutex_);
                owner_.wake_.wait_until(lock, next_attempt_, [&] { return owner_.stop_; });
                continue;
            }
            errno = 0;
            const int rc = mosquitto_connect_async(mosq_.get(), config_.host.c_str(), config_.port,
                                                   owner_.options_.keepalive_s);
            if (rc != MOSQ_ERR_SUCCESS) {
                LinkFailed(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
                continue;
            }
            link_ = true;
            link_started_ = now;
        }
        errno = 0;
        const int rc = mosquitto_loop(mosq_.get(), kLoopWaitMs, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            LinkFailed(rc == MOSQ_ERR_ERRNO && errno != 0 ? std::strerror(errno)
                                                          : mosquitto_strerror(rc));
            continue;
        }
        if (!connected_) {
            if (Clock::now() - link_started_ > kConnectTimeout) {
                mosquitto_disconnect(mosq_.get());
                LinkFailed("no answer");
            }
            continue;
        }
        if (hello_due_) Hello();
        if (announce_due_) AnnounceAll();
        Drain(Clock::now() + milliseconds(kLoopWaitMs * 5));
    }
    Orderly();
}

MqttPublisher::MqttPublisher(MqttConfig config, StatusSink status, int period_s)
    : MqttPublisher(std::move(config), std::move(status), period_s, Options()) {}

MqttPublisher::MqttPublisher(MqttConfig config, StatusSink status, int period_s, Options options)
    : config_(std::move(config)),
      status_(std::move(status)),
      options_(options),
      first_period_s_(period_s > 0 ? period_s : 2) {}

MqttPublisher::~MqttPublisher() {
    Stop();
}

std::string MqttPublisher::BaseTopic() const {
    return "kalvo/" + config_.node;
}

void MqttPublisher::Start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable() || stop_ || !config_.enabled) return;
    thread_ = std::thread([this] { Session(*this).Run(); });
}

void MqttPublisher::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void MqttPublisher::Push(Entry entry) {
    {
        std::lock_guard lock(mutex_);
        if (stop_ || !config_.enabled) return;
        if (options_.queue_limit > 0 && queue_.size() >= options_.queue_limit) {
            // The oldest state goes; an alarm stays while there is a state to drop instead.
            auto victim = queue_.begin();
            while (victim != queue_.end() && victim->kind == Entry::Kind::kAlarm) ++victim;
            if (victim == queue_.end()) victim = queue_.begin();
            queue_.erase(victim);
            ++stats_.dropped;
        }
        queue_.push_back(std::move(entry));
    }
    wake_.notify_one();
}

void MqttPublisher::OnPass(const PassReport& report) {
    Entry entry;
    entry.kind = Entry::Kind::kPass;
    entry.pass = report;
    Push(std::move(entry));
}

void MqttPublisher::OnChannels(const std::vector<ChannelState>& channels) {
    Entry entry;
    entry.kind = Entry::Kind::kChannels;
    entry.channels = channels;
    Push(std::move(entry));
}

void MqttPublisher::OnAlarm(const AlarmEvent& event) {
    Entry entry;
    entry.kind = Entry::Kind::kAlarm;
    entry.alarm = event;
    Push(std::move(entry));
}

MqttPublisher::Stats MqttPublisher::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

}  // namespace kalvo
