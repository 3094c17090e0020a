#pragma once
// The user's alarm command, run for each raise and clear on a thread of its own so the worker
// never waits on it: no shell (the command text is split at blanks into the program and its
// arguments, nothing quoted or expanded), the event in KALVO_ALARM_* variables, a time limit
// after which the command and what it started are killed. Every run is waited for, so no
// process is left behind; a failure is reported through the log callback, never fatal.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/common/pass_report.h"

namespace kalvo {

// "prog  -a b" -> {"prog", "-a", "b"}; blanks are spaces and tabs.
std::vector<std::string> SplitCommand(std::string_view command);
// KALVO_ALARM_KIND (low, high, silent), _STATE (raised, cleared), _SENSOR (28-…), _NAME,
// _VALUE (1.75; empty without a reading), _TIME (local "2024-06-01 14:03:00"), _EPOCH (s).
std::vector<std::string> AlarmEnvironment(const AlarmEvent& event);

class AlarmCommandRunner {
  public:
    using Log = std::function<void(const std::string& line)>;
    static constexpr std::chrono::milliseconds kDefaultLimit{30000};
    // Runs waiting at most; more are dropped (and said).
    static constexpr size_t kQueueLimit = 64;

    explicit AlarmCommandRunner(Log log, std::chrono::milliseconds limit = kDefaultLimit);
    // A command still running is killed; runs still waiting are dropped, each said.
    ~AlarmCommandRunner();
    AlarmCommandRunner(const AlarmCommandRunner&) = delete;
    AlarmCommandRunner& operator=(const AlarmCommandRunner&) = delete;

    // Queues one run; returns at once. An empty command does nothing.
    void Run(const std::string& command, const AlarmEvent& event);
    // Nothing running or waiting.
    bool Idle() const;

  private:
    struct Job {
        std::vector<std::string> argv;
        std::vector<std::string> env;
    };
    void Main();
    void Execute(const Job& job);

    Log log_;
    std::chrono::milliseconds limit_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;  // started with the first run
};

}  // namespace kalvo
