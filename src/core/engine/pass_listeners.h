#pragma once
// The listeners of a running program (publishers, loggers): added and removed from any thread,
// called on the worker. A listener that throws is said once on stderr and called again next
// time; one that blocks holds the pass, so listeners only copy and queue.
#include <atomic>
#include <mutex>
#include <vector>

#include "core/common/pass_report.h"

namespace kalvo {

class PassListeners {
  public:
    void Add(PassListener& listener);
    // Once it returns the listener is not called again (it may be inside a call until then);
    // never call it from within a listener.
    void Remove(PassListener& listener);
    bool Empty() const;
    // True once after a listener was added: it has not heard the channels yet.
    bool TakeNewcomer() { return newcomer_.exchange(false); }

    void Pass(const PassReport& report);
    void Channels(const std::vector<ChannelState>& channels);
    void Alarm(const AlarmEvent& event);

  private:
    template <typename Call>
    void Each(const char* what, Call call);

    mutable std::mutex mutex_;
    std::vector<PassListener*> listeners_;
    std::vector<PassListener*> failed_;  // already said on stderr
    std::atomic<bool> newcomer_{false};
};

}  // namespace kalvo
