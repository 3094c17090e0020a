#pragma once
// SIGTERM and SIGINT as close requests: the signal handler only writes a byte into a pipe, and
// the window thread hears it through a socket notifier.
#include <functional>
#include <memory>

class QSocketNotifier;

namespace kalvo {

class CloseSignals {
  public:
    // on_signal runs on the window thread, once for the signals that arrived together.
    explicit CloseSignals(std::function<void()> on_signal);
    ~CloseSignals();
    CloseSignals(const CloseSignals&) = delete;
    CloseSignals& operator=(const CloseSignals&) = delete;

    bool Installed() const { return notifier_ != nullptr; }

  private:
    void Drain();

    std::function<void()> on_signal_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace kalvo
