#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/common/text.h"
#include "core/engine/alarm_command.h"
#include "core/engine/alarms.h"

extern char** environ;

namespace kalvo {
namespace {

constexpr char kPrefix[] = "KALVO_ALARM_";

// posix_spawn's attributes and file actions, released whatever happens.
class SpawnSetup {
  public:
    SpawnSetup() {
        posix_spawnattr_init(&attr_);
        posix_spawn_file_actions_init(&actions_);
        // Its own process group, so a time-out kills whatever the command started too; signals
        // as a fresh program expects them, whatever this process blocks or ignores.
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int s : {SIGPIPE, SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&defaults, s);
        posix_spawnattr_setsigmask(&attr_, &none);
        posix_spawnattr_setsigdefault(&attr_, &defaults);
        posix_spawnattr_setpgroup(&attr_, 0);
        posix_spawnattr_setflags(
            &attr_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attr_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    const posix_spawnattr_t* Attr() const { return &attr_; }
    const posix_spawn_file_actions_t* Actions() const { return &actions_; }

  private:
    posix_spawnattr_t attr_;
    posix_spawn_file_actions_t actions_;
};

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& text : texts) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

std::vector<std::string> SplitCommand(std::string_view command) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < command.size()) {
        const size_t begin = command.find_first_not_of(" \t", at);
        if (begin == std::string_view::npos) break;
        const size_t end = std::min(command.find_first_of(" \t", begin), command.size());
        words.emplace_back(command.substr(begin, end - begin));
        at = end;
    }
    return words;
}

std::vector<std::string> AlarmEnvironment(const AlarmEvent& event) {
    const bool raised = event.kind != AlarmKind::kOk;
    const std::string p = kPrefix;
    return {
        p + "KIND=" + AlarmKindText(raised ? event.kind : event.cleared),
        p + "STATE=" + (raised ? "raised" : "cleared"),
        p + "SENSOR=" + W1Id(event.rom),
        p + "NAME=" + Utf16ToUtf8(event.name),
        p + "VALUE=" + AlarmValueText(event.value),
        p + "TIME=" + AlarmTimeText(event.time),
        p + "EPOCH=" + std::to_string(event.time),
    };
}

AlarmCommandRunner::AlarmCommandRunner(Log log, std::chrono::milliseconds limit)
    : log_(std::move(log)), limit_(limit) {}

AlarmCommandRunner::~AlarmCommandRunner() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void AlarmCommandRunner::Run(const std::string& command, const AlarmEvent& event) {
    Job job{SplitCommand(command), {}};
    if (job.argv.empty()) return;
    // The environment of this process without older alarm variables, then the event's.
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, kPrefix, sizeof kPrefix - 1) != 0) job.env.emplace_back(*e);
    for (std::string& v : AlarmEnvironment(event)) job.env.push_back(std::move(v));
    bool dropped = false;
    {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        if (queue_.size() >= kQueueLimit) {
            dropped = true;
        } else {
            queue_.push_back(std::move(job));
            if (!thread_.joinable()) {
                try {
                    thread_ = std::thread(&AlarmCommandRunner::Main, this);
                } catch (const std::system_error&) {
                    queue_.clear();
                    dropped = true;
                }
            }
        }
    }
    if (dropped) {
        log_("alarm command not run: too many runs waiting");
        return;
    }
    wake_.notify_all();
}

bool AlarmCommandRunner::Idle() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() && !busy_;
}

void AlarmCommandRunner::Main() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) {
            for (const Job& job : queue_) log_("alarm command not run at exit: " + job.argv[0]);
            queue_.clear();
            return;
        }
        const Job job = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        Execute(job);
        lock.lock();
        busy_ = false;
    }
}

void AlarmCommandRunner::Execute(const Job& job) {
    std::vector<std::string> argv = job.argv;
    std::vector<std::string> env = job.env;
    const std::vector<char*> argp = Pointers(argv);
    const std::vector<char*> envp = Pointers(env);
    const std::string& program = job.argv[0];
    pid_t pid = -1;
    int spawned = 0;
    {
        const SpawnSetup setup;
        spawned = posix_spawn(&pid, program.c_str(), setup.Actions(), setup.Attr(), argp.data(),
                              envp.data());
    }
    if (spawned != 0) {
        log_("alarm command failed: cannot start " + program + ": " + std::strerror(spawned));
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit_;
    int status = 0;
    bool stopped = false;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            // Somebody else reaped it (SIGCHLD ignored): nothing to wait for.
            if (errno == ECHILD) return;
        }
        std::unique_lock lock(mutex_);
        stopped = stop_;
        const bool late = std::chrono::steady_clock::now() >= deadline;
        if (stopped || late) {
            lock.unlock();
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            const int64_t ms = limit_.count();
            const std::string after =
                ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
            log_(stopped ? "alarm command killed at exit: " + program
                         : "alarm command failed: killed after " + after + ": " + program);
            return;
        }
        wake_.wait_for(lock, std::chrono::milliseconds(10), [this] { return stop_; });
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        log_("alarm command failed: exit status " + std::to_string(WEXITSTATUS(status)) + ": " +
             program);
    else if (WIFSIGNALED(status))
        log_("alarm command failed: ended by signal " + std::to_string(WTERMSIG(status)) + ": " +
             program);
}

}  // namespace kalvo
