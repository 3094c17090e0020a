#pragma once
// A real broker for tests: mosquitto with a configuration of its own on a free loopback port, and
// a subscriber that keeps everything it receives. Used by the publisher's tests and by the
// end-to-end tests of the programs that publish.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kalvo::testing_mqtt {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kPatience = 30s;  // generous: a loaded machine may be slow, a working one is not

inline bool Poll(const std::function<bool()>& done, std::chrono::milliseconds limit = kPatience) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

inline int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

inline bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// mosquitto with a configuration of its own in a temporary folder.
class Broker {
  public:
    explicit Broker(int port) : port_(port) {
        std::string pattern = std::filesystem::temp_directory_path() / "kalvo-broker-XXXXXX";
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
        folder_ = pattern;
        std::ofstream(folder_ + "/mosquitto.conf")
            << "listener " << port << " 127.0.0.1\n"
            << "allow_anonymous true\npersistence false\nlog_dest none\nuser root\n";
    }
    ~Broker() {
        Stop(SIGTERM);
        std::filesystem::remove_all(folder_);
    }
    void Start() {
        pid_ = fork();
        if (pid_ == 0) {
            const std::string conf = folder_ + "/mosquitto.conf";
            execl(KALVO_BROKER, "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_TRUE(Poll([&] { return Accepts(port_); })) << "the broker did not start";
    }
    void Stop(int signal) {
        if (pid_ <= 0) return;
        kill(pid_, signal);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    int port() const { return port_; }

  private:
    int port_;
    std::string folder_;
    pid_t pid_ = -1;
};

struct Message {
    std::string topic, payload;
    bool retained = false;
};

// Subscribes to everything and keeps what arrives, in order.
class Subscriber {
  public:
    explicit Subscriber(int port) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self,
                                                 const mosquitto_message* m) {
            static_cast<Subscriber*>(self)->messages_.push_back(
                {m->topic, std::string(static_cast<const char*>(m->payload), size_t(m->payloadlen)),
                 m->retain});
        });
        EXPECT_EQ(mosquitto_connect(mosq_, "127.0.0.1", port, 30), MOSQ_ERR_SUCCESS);
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Subscriber*>(self)->subscribed_ = true;
        });
        EXPECT_EQ(mosquitto_subscribe(mosq_, nullptr, "#", 1), MOSQ_ERR_SUCCESS);
        // Subscribed before the test goes on, so nothing sent afterwards is missed.
        EXPECT_TRUE(WaitFor([this](const std::vector<Message>&) { return subscribed_; }));
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_destroy(mosq_);
    }
    // Pumps the connection until `done` holds for the messages so far.
    bool WaitFor(const std::function<bool(const std::vector<Message>&)>& done) {
        const auto end = Clock::now() + kPatience;
        while (!done(messages_)) {
            if (Clock::now() > end) return false;
            mosquitto_loop(mosq_, 50, 1);
        }
        return true;
    }
    bool WaitFor(const std::string& topic, const std::string& payload) {
        return WaitFor([&](const std::vector<Message>& all) { return Has(all, topic, payload); });
    }
    static bool Has(const std::vector<Message>& all, const std::string& topic,
                    const std::string& payload) {
        for (const Message& m : all) {
            if (m.topic == topic && m.payload == payload) return true;
        }
        return false;
    }
    void Send(const std::string& topic, const std::string& payload) {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), int(payload.size()), payload.data(), 1,
                          false);
    }
    std::vector<std::string> Payloads(const std::string& topic) const {
        std::vector<std::string> out;
        for (const Message& m : messages_) {
            if (m.topic == topic) out.push_back(m.payload);
        }
        return out;
    }
    const std::vector<Message>& messages() const { return messages_; }

  private:
    mosquitto* mosq_ = nullptr;
    bool subscribed_ = false;
    std::vector<Message> messages_;
};

}  // namespace kalvo::testing_mqtt
