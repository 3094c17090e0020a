// The World's fault hooks: each sets what the device or bridge model then acts on. Timed faults
// are kept in a schedule; at the start of each operation those whose time has come start or end,
// and what the ones in force ask is set anew from all of them, so overlapping faults add up and
// the hooks a test calls directly stay its own.
#include <algorithm>

#include "drivers/sim/ds18b20.h"
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
    if (unplugged) state_->KillHandle(bridge);
    b->unplugged = unplugged;
}

void World::ShortenNextReads(int bridge, uint32_t max_bytes, int reads) {
    Op op(mutex_, *state_, clock_);
    BridgeModel* b = state_->At(bridge);
    if (!b) return;
    b->short_max = max_bytes;
    b->short_reads = reads;
}

bool World::ScheduleFault(const TimedFault& fault) {
    Op op(mutex_, *state_, clock_);
    if (fault.at_ms < 0 || (fault.for_ms < 0 && fault.for_ms != -1)) return false;
    Device* d = state_->Find(fault.device);
    switch (fault.kind) {
        case FaultKind::kGone:
            if (!d) return false;
            break;
        case FaultKind::kNeverConverts:
            if (!dynamic_cast<Thermometer*>(d)) return false;
            break;
        case FaultKind::kPowerOn:
            if (!dynamic_cast<Thermometer*>(d) && !dynamic_cast<Ds2413*>(d)) return false;
            break;
        case FaultKind::kLowPower:
            if (!dynamic_cast<Ds18b20*>(d)) return false;
            break;
        case FaultKind::kCrcNoise:
            if (!(fault.rate >= 0 && fault.rate <= 1)) return false;
            if (fault.device ? !d : !state_->At(fault.bridge)) return false;
            break;
        case FaultKind::kLineLow:
        case FaultKind::kUnplug:
        case FaultKind::kShortReads:
            if (!state_->At(fault.bridge)) return false;
            break;
    }
    state_->schedule.push_back({fault});
    state_->ApplyFaults();  // one due now starts now
    return true;
}

int64_t World::RunMs() const {
    Op op(mutex_, *state_, clock_);
    return state_->env.now - state_->start_ms;
}

void World::State::KillHandle(int bridge) {
    BridgeModel* b = At(bridge);
    if (!b || !b->handle) return;
    dead_handles[b->handle] = bridge;  // the handle stays around, but nothing works through it
    b->handle = 0;
    b->DropEcho();
}

void World::State::ApplyFaults() {
    if (schedule.empty()) return;
    const int64_t t = env.now - start_ms;
    bool changed = false;
    for (Scheduled& s : schedule) {
        const TimedFault& f = s.fault;
        if (!s.started && t >= f.at_ms) {
            s.started = changed = true;
            // What happens at the start, beyond the state the fault holds while it lasts.
            if (f.kind == FaultKind::kPowerOn) {
                if (Device* d = Find(f.device)) d->PowerOn();
                s.ended = true;
            } else if (f.kind == FaultKind::kUnplug) {
                KillHandle(f.bridge);
            }
        }
        if (s.started && !s.ended && f.for_ms >= 0 && t - f.at_ms >= f.for_ms) {
            s.ended = changed = true;
            // Back on the line, it has missed everything since it left: it waits for a reset.
            if (f.kind == FaultKind::kGone)
                if (Device* d = Find(f.device)) d->Desync();
        }
    }
    if (!changed) return;

    for (auto& b : bridges) {
        b->timed = {};
        for (auto& d : b->devices) {
            d->gone = false;
            d->noise_rate = 0;
            if (auto* th = dynamic_cast<Thermometer*>(d.get())) th->never_timed = false;
            if (auto* ds = dynamic_cast<Ds18b20*>(d.get())) ds->low_power = false;
        }
    }
    for (const Scheduled& s : schedule) {
        if (!s.started || s.ended) continue;
        const TimedFault& f = s.fault;
        Device* d = Find(f.device);
        BridgeModel* b = At(f.bridge);
        switch (f.kind) {
            case FaultKind::kGone:
                if (d) d->gone = true;
                break;
            case FaultKind::kNeverConverts:
                if (auto* th = dynamic_cast<Thermometer*>(d)) th->never_timed = true;
                break;
            case FaultKind::kLowPower:
                if (auto* ds = dynamic_cast<Ds18b20*>(d)) ds->low_power = true;
                break;
            case FaultKind::kCrcNoise:
                if (f.device && d) d->noise_rate = std::max(d->noise_rate, f.rate);
                if (!f.device && b) b->timed.noise_rate = std::max(b->timed.noise_rate, f.rate);
                break;
            case FaultKind::kLineLow:
                if (b) b->timed.line_low = true;
                break;
            case FaultKind::kUnplug:
                if (b) b->timed.unplugged = true;
                break;
            case FaultKind::kShortReads:
                if (b) b->timed.short_reads = true;
                break;
            case FaultKind::kPowerOn:
                break;
        }
    }
}

}  // namespace kalvo::sim
