#pragma once
// Everything behind the world's mutex, shared by the facade (sim_world.cpp) and the fault
// hooks (faults.cpp).
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "drivers/sim/bridge.h"
#include "drivers/sim/environment.h"
#include "drivers/sim/sim_world.h"

namespace kalvo::sim {

struct World::State {
    State(int64_t now_ms, uint64_t seed) : env(now_ms, seed), start_ms(now_ms) {}

    // A timed fault and where it stands.
    struct Scheduled {
        TimedFault fault;
        bool started = false;
        bool ended = false;
    };

    Environment env;
    const int64_t start_ms;  // the clock when the world was made: time 0 of timed faults
    int latency_override = -1;
    uintptr_t next_handle = 0x5100;  // handles are never reused
    std::vector<std::unique_ptr<BridgeModel>> bridges;
    std::map<uintptr_t, int> dead_handles;  // handles of unplugged bridges: bridge number
    std::vector<Scheduled> schedule;        // in the order scheduled

    BridgeModel* At(int bridge) const;  // null for no such bridge
    Device* Find(RomCode code, int* bridge = nullptr) const;
    // The bridge behind an open handle; null with *status FT_INVALID_HANDLE or, for an
    // unplugged bridge's, FT_IO_ERROR.
    BridgeModel* ByHandle(FT_HANDLE h, FT_STATUS* status);
    // The noise-free temperature of a thermometer; NaN for anything else.
    double Model(RomCode sensor, int64_t at_ms) const;
    // Brings the heaters up to env.now.
    void Integrate();
    // The bridge's open handle dies: calls on it fail until it is closed.
    void KillHandle(int bridge);
    // Starts and ends the timed faults whose time has come by env.now (faults.cpp).
    void ApplyFaults();
};

// Locks the world and brings its clock, heaters and timed faults up to date: the start of every
// operation.
struct Op {
    Op(std::mutex& m, World::State& s, Clock& c) : lock(m) {
        s.env.now = std::max(s.env.now, c.NowMs());
        s.Integrate();  // with the switches as they were until now
        s.ApplyFaults();
    }
    std::unique_lock<std::mutex> lock;
};

}  // namespace kalvo::sim
