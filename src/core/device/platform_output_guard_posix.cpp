#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

#include "core/device/output_guard.h"
#include "core/device/platform_dl.h"

extern char** environ;

namespace kalvo {
namespace {

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#define KALVO_HAVE_CLOSEFROM 1
#endif

std::string Errno(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

// A guard that has already gone must not end the program with SIGPIPE: the signal is held
// back on this thread and taken away again if the write raised it.
bool WriteWithoutSigpipe(int fd, char byte) {
    sigset_t pipe_only, old_mask, pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);
    ssize_t n;
    do {
        n = write(fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EPIPE && !was_pending) {
        const timespec now = {0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return n == 1;
}

}  // namespace

// ---- the program's side ----

OutputGuard::~OutputGuard() {
    Release();
    if (pid_ > 0 && exit_code_ < 0) Wait(0);  // reaped now if it has already ended
}

bool OutputGuard::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        std::string* why) {
    const auto fail = [why](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    if (pid_ > 0) return fail("the guard has been started already");
    if (argv.empty()) return fail("no guard program");
    // Both ends close at exec: no other child of the program may hold the write end, or the
    // guard would not see the program's end while that child lives.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return fail(Errno("pipe", errno));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
#ifdef KALVO_HAVE_CLOSEFROM
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A session of its own: the terminal's Ctrl+C and hang-up reach the program, not the guard.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> args, envs;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env) envs.push_back(const_cast<char*>(e.c_str()));
    envs.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), envs.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    if (rc != 0) {
        close(fds[1]);
        return fail(Errno(args[0], rc));
    }
    pid_ = pid;
    pipe_ = fds[1];
    exit_code_ = -1;
    return true;
}

bool OutputGuard::Disarm(int64_t wait_ms) {
    if (pipe_ < 0) return false;
    const bool told = WriteWithoutSigpipe(pipe_, kGuardDisarmByte);
    close(pipe_);
    pipe_ = -1;
    return told && Wait(wait_ms) == 0;
}

void OutputGuard::Release() {
    if (pipe_ < 0) return;
    close(pipe_);
    pipe_ = -1;
}

int OutputGuard::Wait(int64_t wait_ms) {
    if (exit_code_ >= 0 || pid_ <= 0) return exit_code_;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        int status = 0;
        const pid_t got = waitpid(pid_, &status, WNOHANG);
        if (got == pid_) {
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exit_code_;
        }
        if (got < 0 && errno != EINTR) return -1;  // not our child any more
        if (std::chrono::steady_clock::now() >= end) return -1;
        const timespec step = {0, 10'000'000};
        nanosleep(&step, nullptr);
    }
}

// ---- the guard's side ----

ProgramEnd WaitForProgramEnd(int fd) {
    bool disarmed = false;
    char buf[64];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            disarmed |= std::memchr(buf, kGuardDisarmByte, size_t(n)) != nullptr;
        } else if (n == 0 || errno != EINTR) {
            // A read error tells as little as a crash: the outputs go off.
            return disarmed && n == 0 ? ProgramEnd::kOrderly : ProgramEnd::kOther;
        }
    }
}

void DetachGuardProcess() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // The session's end and a terminal's keys may reach the guard along with the program; it
    // must outlive the program to do its work, and ends by itself afterwards.
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) sigaction(sig, &ignore, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Whatever else the program left open (its files, the bridge) is not the guard's to keep.
#ifdef KALVO_HAVE_CLOSEFROM
    closefrom(STDERR_FILENO + 1);
#else
    const long max = sysconf(_SC_OPEN_MAX);
    for (long fd = STDERR_FILENO + 1; fd < (max > 0 ? max : 1024); ++fd) close(int(fd));
#endif
}

// ---- platform helpers ----

bool IsExecutableFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> ProcessEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
    return env;
}

std::string LoadedDriverLibrary() {
    struct Search {
        std::string_view name;
        std::string path;
    } search{DriverLibraryFileName(), {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            const std::string_view path = info->dlpi_name ? info->dlpi_name : "";
            const size_t slash = path.rfind('/');
            if (slash == std::string_view::npos || path.substr(slash + 1) != s->name) return 0;
            s->path = std::string(path);
            return 1;
        },
        &search);
    return search.path;
}

}  // namespace kalvo
