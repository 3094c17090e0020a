#pragma once
// What links a running program to the world outside it, from kalvo.ini in its data folder: the
// per-sensor and per-channel rules, and the MQTT publisher. The window and the headless logger
// make one each, after the program and before measuring, and end it before the program.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/common/rules.h"
#include "core/config/kalvo_ini.h"

namespace kalvo {

class MqttPublisher;
class PassListener;
class Program;

class Connections {
  public:
    // One line for the status bar and stderr, UTF-8; called from any thread.
    using StatusSink = std::function<void(const std::string& line)>;

    Connections(Program& program, std::string data_folder, StatusSink status);
    // Takes the publisher off the program, then publishes "offline" and disconnects.
    ~Connections();
    Connections(const Connections&) = delete;
    Connections& operator=(const Connections&) = delete;

    // Reads kalvo.ini (each problem one status line), gives the program its rules, and starts
    // publishing when [mqtt] names a host. `period_s`: the measuring period at start.
    void Start(int period_s);
    // Publishes "offline" and disconnects; the destructor does it too.
    void Stop();

    Rules CurrentRules() const;
    // The dialog's rules into kalvo.ini (its comments and other entries kept), saved, and in
    // force from the next pass. False with `why` when the file cannot be written; the program
    // then keeps the rules it had.
    bool SaveRules(const Rules& rules, std::string* why);

    const std::string& IniPath() const { return ini_path_; }
    // Null while MQTT is off.
    MqttPublisher* Publisher() const { return publisher_.get(); }

  private:
    Program& program_;
    const std::string ini_path_;
    const StatusSink status_;
    mutable std::mutex mutex_;  // rules_
    Rules rules_;
    std::unique_ptr<MqttPublisher> publisher_;
    bool listening_ = false;
};

}  // namespace kalvo
