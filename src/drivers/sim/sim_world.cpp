// The world facade: building the bus, inspecting it, and the D2XX hooks the front calls. Each
// operation locks the world and brings its clock and heaters up to date first (Op).
#include "drivers/sim/sim_world.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "drivers/sim/ds1820.h"
#include "drivers/sim/ds18b20.h"
#include "drivers/sim/ds2413.h"
#include "drivers/sim/world_state.h"

namespace kalvo::sim {

BridgeModel* World::State::At(int bridge) const {
    return bridge >= 0 && bridge < int(bridges.size()) ? bridges[size_t(bridge)].get() : nullptr;
}

Device* World::State::Find(RomCode code, int* bridge) const {
    for (size_t i = 0; i < bridges.size(); ++i)
        for (const auto& d : bridges[i]->devices)
            if (d->code() == code) {
                if (bridge) *bridge = int(i);
                return d.get();
            }
    return nullptr;
}

BridgeModel* World::State::ByHandle(FT_HANDLE h, FT_STATUS* status) {
    const auto value = reinterpret_cast<uintptr_t>(h);
    if (value != 0) {
        for (auto& b : bridges)
            if (b->handle == value) {
                *status = FT_OK;
                return b.get();
            }
        if (dead_handles.count(value)) {
            *status = FT_IO_ERROR;
            return nullptr;
        }
    }
    *status = FT_INVALID_HANDLE;
    return nullptr;
}

double World::State::Model(RomCode sensor, int64_t at_ms) const {
    const auto* t = dynamic_cast<const Thermometer*>(Find(sensor));
    if (!t) return std::numeric_limits<double>::quiet_NaN();
    return env.thermal.Temperature(t->thermal(), sensor, at_ms);
}

void World::State::Integrate() {
    env.thermal.Integrate(env.now, [this](RomCode switch_code, int channel) {
        const auto* sw = dynamic_cast<const Ds2413*>(Find(switch_code));
        return sw && sw->Conducts(channel);
    });
}

// ------------------------------------------------------------------------------------------------

World::World(Clock& clock, uint64_t seed)
    : clock_(clock), state_(std::make_unique<State>(clock.NowMs(), seed)) {}

World::~World() = default;

int World::AddBridge(const std::string& serial, const std::string& description, uint32_t type,
                     bool open_fails) {
    Op op(mutex_, *state_, clock_);
    auto b = std::make_unique<BridgeModel>();
    b->serial = serial.substr(0, front::ft232r::kSerialBytes);
    b->description = description.substr(0, front::ft232r::kDescriptionBytes);
    b->type = type;
    b->open_fails = open_fails;
    state_->bridges.push_back(std::move(b));
    return int(state_->bridges.size()) - 1;
}

namespace {
template <typename T, typename... Args>
RomCode AddTo(World::State& s, int bridge, uint8_t family, uint64_t id48, Args&&... args) {
    BridgeModel* b = s.At(bridge);
    if (!b || id48 >> 48) return 0;
    const RomCode code = MakeRomCode(family, id48);
    if (s.Find(code)) return 0;
    b->devices.push_back(std::make_unique<T>(&s.env, code, std::forward<Args>(args)...));
    return code;
}
}  // namespace

RomCode World::AddDs18b20(int bridge, uint64_t id48, const Thermal& thermal, int resolution) {
    if (resolution < 9 || resolution > 12) return 0;
    Op op(mutex_, *state_, clock_);
    return AddTo<Ds18b20>(*state_, bridge, kFamilyDs18b20, id48, thermal, resolution);
}

RomCode World::AddDs1820(int bridge, uint64_t id48, const Thermal& thermal) {
    Op op(mutex_, *state_, clock_);
    return AddTo<Ds1820>(*state_, bridge, kFamilyDs1820, id48, thermal);
}

RomCode World::AddDs2413(int bridge, uint64_t id48) {
    Op op(mutex_, *state_, clock_);
    return AddTo<Ds2413>(*state_, bridge, kFamilyDs2413, id48);
}

RomCode World::AddDevice(int bridge, uint8_t family, uint64_t id48) {
    Op op(mutex_, *state_, clock_);
    return AddTo<Device>(*state_, bridge, family, id48);
}

bool World::Couple(RomCode switch_code, int channel, RomCode sensor, double rate_c_per_min) {
    Op op(mutex_, *state_, clock_);
    if (channel < 0 || channel > 1 || !dynamic_cast<Ds2413*>(state_->Find(switch_code)) ||
        !dynamic_cast<Thermometer*>(state_->Find(sensor)) || !std::isfinite(rate_c_per_min))
        return false;
    state_->env.thermal.Couple(switch_code, channel, sensor, rate_c_per_min);
    return true;
}

void World::SetLatencyMs(int ms) {
    Op op(mutex_, *state_, clock_);
    state_->latency_override = ms;
}

// --- Inspection ---------------------------------------------------------------------------------

int World::BridgeCount() const {
    std::lock_guard lock(mutex_);
    return int(state_->bridges.size());
}

BridgeState World::Bridge(int bridge) const {
    Op op(mutex_, *state_, clock_);
    BridgeState s;
    const BridgeModel* b = state_->At(bridge);
    if (!b) return s;
    s.open = b->handle != 0;
    s.unplugged = b->Unplugged();
    s.baud = b->baud;
    s.latency_timer_ms = b->latency_timer;
    s.read_timeout_ms = b->read_timeout;
    s.write_timeout_ms = b->write_timeout;
    s.usb_in_size = b->usb_in;
    s.bytes_written = b->bytes_written;
    s.reads = b->reads;
    s.resets = b->resets;
    return s;
}

std::vector<RomCode> World::Devices(int bridge) const {
    Op op(mutex_, *state_, clock_);
    std::vector<RomCode> out;
    const BridgeModel* b = state_->At(bridge);
    if (!b) return out;
    for (const auto& d : b->devices)
        if (d->Present()) out.push_back(d->code());
    return out;
}

double World::ModelTemperature(RomCode sensor) const {
    Op op(mutex_, *state_, clock_);
    return state_->Model(sensor, state_->env.now);
}

double World::LastConversion(RomCode sensor) const {
    Op op(mutex_, *state_, clock_);
    auto* t = dynamic_cast<Thermometer*>(state_->Find(sensor));
    return t ? t->last : std::numeric_limits<double>::quiet_NaN();
}

int World::SwitchStatus(RomCode switch_code) const {
    Op op(mutex_, *state_, clock_);
    auto* s = dynamic_cast<Ds2413*>(state_->Find(switch_code));
    return s ? s->Status() : -1;
}

bool World::ChannelOn(RomCode switch_code, int channel) const {
    Op op(mutex_, *state_, clock_);
    auto* s = dynamic_cast<Ds2413*>(state_->Find(switch_code));
    return s && channel >= 0 && channel <= 1 && s->Conducts(channel);
}

// --- D2XX hooks ---------------------------------------------------------------------------------

FT_STATUS World::OpenBridge(int index, FT_HANDLE* handle) {
    Op op(mutex_, *state_, clock_);
    int seen = 0;
    for (auto& b : state_->bridges) {
        if (b->Unplugged()) continue;
        if (seen++ != index) continue;
        if (b->open_fails || b->handle) return FT_DEVICE_NOT_OPENED;
        b->Open(state_->next_handle);
        state_->next_handle += 0x10;
        *handle = reinterpret_cast<FT_HANDLE>(b->handle);
        return FT_OK;
    }
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS World::CloseBridge(FT_HANDLE handle) {
    Op op(mutex_, *state_, clock_);
    if (state_->dead_handles.erase(reinterpret_cast<uintptr_t>(handle))) return FT_OK;
    FT_STATUS status;
    BridgeModel* b = state_->ByHandle(handle, &status);
    if (!b) return status;
    b->handle = 0;
    b->DropEcho();
    return FT_OK;
}

FT_STATUS World::WithPort(FT_HANDLE handle, front::PortUse use) {
    FT_STATUS status;
    int64_t until_ms = 0;
    {
        Op op(mutex_, *state_, clock_);
        BridgeModel* b = state_->ByHandle(handle, &status);
        if (!b) return status;
        BridgePort port(*b, state_->env, state_->latency_override);
        status = use(port);
        // Whole ms only: the rest stays in the bridge's host time and is slept with a later
        // call, so a manual clock moves the same on every run.
        until_ms = port.host_ns() / 1'000'000;
    }
    // Other threads may inject faults while a read waits.
    const int64_t wait_ms = until_ms - clock_.NowMs();
    if (wait_ms > 0) clock_.SleepMs(wait_ms);
    return status;
}

std::vector<front::Listed> World::ListBridges() {
    Op op(mutex_, *state_, clock_);
    std::vector<front::Listed> present;
    for (const auto& b : state_->bridges)
        if (!b->Unplugged()) present.push_back({b->serial, b->description});
    return present;
}

}  // namespace kalvo::sim
