#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "platform.h"

namespace kalvo {
namespace {

sigset_t CloseSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

CloseSignals::CloseSignals() {
    const sigset_t set = CloseSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    listener_ = std::thread(&CloseSignals::Listen, this);
}

CloseSignals::~CloseSignals() {
    stop_.store(true);
    listener_.join();
}

void CloseSignals::SetReceiver(std::function<void()> receiver) {
    // Called under the lock, so a receiver being replaced has finished when this returns.
    std::lock_guard lock(mutex_);
    receiver_ = std::move(receiver);
    if (pending_ && receiver_) {
        pending_ = false;
        receiver_();
    }
}

void CloseSignals::Listen() {
    const sigset_t set = CloseSignalSet();
    // Short waits, so the end of the program is noticed without a signal of its own.
    const timespec pause{0, 200 * 1000 * 1000};
    while (!stop_.load()) {
        if (sigtimedwait(&set, nullptr, &pause) < 0) continue;  // EAGAIN or EINTR
        std::lock_guard lock(mutex_);
        if (receiver_)
            receiver_();
        else
            pending_ = true;
    }
}

void NotifyServiceManager(std::string_view state) {
    // The protocol is one assignment per line; a text with line breaks would start others.
    std::string line(state);
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    sd_notify(0, line.c_str());
}

}  // namespace kalvo
