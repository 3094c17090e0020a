#pragma once
// What the logger needs of the system beyond the core: close signals heard on a thread of their
// own, and the service manager's notification socket.
#include <atomic>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

namespace kalvo {

// SIGTERM and SIGINT as close requests. Made before any other thread, so that every thread
// inherits them blocked and only the listener hears them; no handler runs in a signal context.
class CloseSignals {
  public:
    CloseSignals();
    ~CloseSignals();
    CloseSignals(const CloseSignals&) = delete;
    CloseSignals& operator=(const CloseSignals&) = delete;

    // Runs on the listener's thread for every signal from now on, so it must only post; a
    // signal that came before any receiver was set is handed to the first one at once.
    void SetReceiver(std::function<void()> receiver);

  private:
    void Listen();

    std::mutex mutex_;
    std::function<void()> receiver_;
    bool pending_ = false;
    std::atomic<bool> stop_{false};
    std::thread listener_;
};

// One message to the service manager ("READY=1", "WATCHDOG=1", "STATUS=..."); nothing when the
// program was not started by one (no NOTIFY_SOCKET).
void NotifyServiceManager(std::string_view state);

}  // namespace kalvo
