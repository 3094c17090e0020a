#include "core/engine/pass_listeners.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

namespace kalvo {

void PassListeners::Add(PassListener& listener) {
    std::lock_guard lock(mutex_);
    if (std::find(listeners_.begin(), listeners_.end(), &listener) == listeners_.end())
        listeners_.push_back(&listener);
    newcomer_ = true;
}

void PassListeners::Remove(PassListener& listener) {
    std::lock_guard lock(mutex_);
    std::erase(listeners_, &listener);
    std::erase(failed_, &listener);
}

bool PassListeners::Empty() const {
    std::lock_guard lock(mutex_);
    return listeners_.empty();
}

template <typename Call>
void PassListeners::Each(const char* what, Call call) {
    // Held through the calls: Remove waits for a call in progress, so the listener may go once
    // it returns.
    std::lock_guard lock(mutex_);
    for (PassListener* listener : listeners_) {
        const char* failure = nullptr;
        std::string text;
        try {
            call(*listener);
            continue;
        } catch (const std::exception& e) {
            text = e.what();
            failure = text.c_str();
        } catch (...) {
            failure = "unknown exception";
        }
        if (std::find(failed_.begin(), failed_.end(), listener) != failed_.end()) continue;
        failed_.push_back(listener);
        std::fprintf(stderr, "A pass listener failed in %s: %s\n", what, failure);
        std::fflush(stderr);
    }
}

void PassListeners::Pass(const PassReport& report) {
    Each("OnPass", [&](PassListener& l) { l.OnPass(report); });
}

void PassListeners::Channels(const std::vector<ChannelState>& channels) {
    Each("OnChannels", [&](PassListener& l) { l.OnChannels(channels); });
}

void PassListeners::Alarm(const AlarmEvent& event) {
    Each("OnAlarm", [&](PassListener& l) { l.OnAlarm(event); });
}

}  // namespace kalvo
