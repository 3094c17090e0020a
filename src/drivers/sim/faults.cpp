// The World's fault hooks: each sets what the device or bridge model then acts on.
#include <algorithm>

#include "drivers/sim/ds2413.h"
#include "drivers/sim/sim_world.h"
#include "drivers/sim/thermometer.h"
#include "drivers/sim/world_state.h"

namespace kalvo::sim {

bool World::RemoveDevice(RomCode code) {
    Op op(mutex_, *state_, clock_);
    int bridge = -1;
    Device* d = state_->Find(code, &bridge);
    if (!d) return false;
    auto& list = state_->bridges[size_t(bridge)]->devices;
    list.erase(std::find_if(list.begin(), list.end(), [&](auto& p) { return p.get() == d; }));
    return true;
}

bool World::SetAttached(RomCode code, bool attached) {
    Op op(mutex_, *state_, clock_);
    Device* d = state_->Find(code);
    if (!d) return false;
    if (attached && !d->attached) d->Desync();  // comes back waiting for a reset
    d->attached = attached;
    return true;
}

bool World::CorruptNextScratchpad(RomCode sensor) {
    Op op(mutex_, *state_, clock_);
    auto* t = dynamic_cast<Thermometer*>(state_->Find(sensor));
    if (t) t->corrupt_next = true;
    return t != nullptr;
}

bool World::SetNeverConverts(RomCode sensor, bool never) {
    Op op(mutex_, *state_, clock_);
    auto* t = dynamic_cast<Thermometer*>(state_->Find(sensor));
    if (t) t->never_converts = never;
    return t != nullptr;
}

bool World::SetPinFault(RomCode switch_code, int channel, PinFault fault) {
    Op op(mutex_, *state_, clock_);
    auto* s = dynamic_cast<Ds2413*>(state_->Find(switch_code));
    if (!s || channel < 0 || channel > 1) return false;
    s->faults[channel] = fault;
    return true;
}

void World::SetLineHeldLow(int bridge, bool low) {
    Op op(mutex_, *state_, clock_);
    if (BridgeModel* b = state_->At(bridge)) b->held_low = low;
}

void World::SetUnplugged(int bridge, bool unplugged) {
    Op op(mutex_, *state_, clock_);
    BridgeModel* b = state_->At(bridge);
    if (!b) return;
    if (unplugged && b->handle) {  // the handle stays around, but nothing works through it
        state_->dead_handles[b->handle] = bridge;
        b->handle = 0;
        b->rx.clear();
    }
    b->unplugged = unplugged;
}

void World::ShortenNextReads(int bridge, uint32_t max_bytes, int reads) {
    Op op(mutex_, *state_, clock_);
    BridgeModel* b = state_->At(bridge);
    if (!b) return;
    b->short_max = max_bytes;
    b->short_reads = reads;
}

}  // namespace kalvo::sim
