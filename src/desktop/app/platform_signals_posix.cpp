#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>

#include "desktop/app/platform_signals.h"

namespace kalvo {
namespace {

// One pipe for the process; the handler may only touch these.
int g_pipe[2] = {-1, -1};
struct sigaction g_previous[2];
constexpr int kSignals[2] = {SIGTERM, SIGINT};

extern "C" void OnCloseSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a pending request.
    [[maybe_unused]] const ssize_t n = write(g_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

CloseSignals::CloseSignals(std::function<void()> on_signal) : on_signal_(std::move(on_signal)) {
    if (g_pipe[0] >= 0) return;  // one instance at a time
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
    struct sigaction action = {};
    action.sa_handler = OnCloseSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
}

CloseSignals::~CloseSignals() {
    if (!notifier_) return;
    for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
    notifier_.reset();
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void CloseSignals::Drain() {
    char buf[64];
    int received = 0;
    for (ssize_t n; (n = read(g_pipe[0], buf, sizeof buf)) > 0;) received += int(n);
    if (received > 0 && on_signal_) on_signal_();
}

}  // namespace kalvo
