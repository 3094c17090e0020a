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
    State(int64_t now_ms, uint64_t seed) : env(now_ms, seed) {}

    Environment env;
    int latency_override = -1;
    uintptr_t next_handle = 0x5100;  // handles are never reused
    std::vector<std::unique_ptr<BridgeModel>> bridges;
    std::map<uintptr_t, int> dead_handles;  // handles of unplugged bridges: bridge number

    BridgeModel* At(int bridge) const;  // null for no such bridge
    Device* Find(RomCode code, int* bridge = nullptr) const;
    // The bridge behind an open handle; null with *status FT_INVALID_HANDLE or, for an
    // unplugged bridge's, FT_IO_ERROR.
    BridgeModel* ByHandle(FT_HANDLE h, FT_STATUS* status);
    // The noise-free temperature of a thermometer; NaN for anything else.
    double Model(RomCode sensor, int64_t at_ms) const;
    // Brings the heaters up to env.now.
    void Integrate();
};

// Locks the world and brings its clock and heaters up to date: the start of every operation.
struct Op {
    Op(std::mutex& m, World::State& s, Clock& c) : lock(m) {
        s.env.now = std::max(s.env.now, c.NowMs());
        s.Integrate();
    }
    std::unique_lock<std::mutex> lock;
};

}  // namespace kalvo::sim
