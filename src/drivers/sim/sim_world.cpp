#include "drivers/sim/sim_world.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <numbers>

#include "core/device/d2xx_list.h"

namespace kalvo::sim {

uint8_t Crc8(const uint8_t* data, size_t n) {
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = data[i];
        for (int k = 0; k < 8; ++k) {
            const bool mix = (crc ^ b) & 1;
            crc >>= 1;
            if (mix) crc ^= 0x8C;
            b >>= 1;
        }
    }
    return crc;
}

RomCode MakeRomCode(uint8_t family, uint64_t id48) {
    uint8_t bytes[7];
    bytes[0] = family;
    for (int i = 0; i < 6; ++i) bytes[1 + i] = uint8_t(id48 >> (8 * i));
    const RomCode code = family | ((id48 & 0xFFFFFFFFFFFFull) << 8);
    return code | RomCode(Crc8(bytes, 7)) << 56;
}

namespace {

constexpr size_t kRxCapacity = 65536;  // the driver's receive buffer; overflow is lost
constexpr DWORD kUsbId = 0x04036001;   // vendor 0403, product 6001
constexpr double kMinC = -55.0, kMaxC = 125.0;

// splitmix64: small, fast and the same everywhere.
struct Rng {
    uint64_t s;
    uint64_t Next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double Uniform() { return double(Next() >> 11) * 0x1.0p-53; }  // [0, 1)
};

}  // namespace

class Device;

// Everything behind the world's mutex.
struct BridgeModel {
    std::string serial;
    std::string description;
    uint32_t type = FT_DEVICE_232R;
    bool open_fails = false;
    bool unplugged = false;
    bool held_low = false;
    uintptr_t handle = 0;  // 0 while closed
    // Line settings, back to the chip's defaults at every open.
    uint32_t baud = 9600;
    UCHAR bits = FT_BITS_8, stop = FT_STOP_BITS_1, parity = FT_PARITY_NONE;
    uint8_t latency_timer = 16;
    uint32_t read_timeout = 0, write_timeout = 0, usb_in = 4096;
    std::deque<uint8_t> rx;
    uint32_t short_max = 0;
    int short_reads = 0;
    uint64_t bytes_written = 0, reads = 0, resets = 0;
    std::vector<std::unique_ptr<Device>> devices;
};

struct Coupling {
    RomCode sw;
    int channel;
    RomCode sensor;
    double rate;        // degrees C per minute while on
    double offset = 0;  // degrees C
};

struct World::State {
    int64_t now = 0;  // ms, the clock at the start of the current operation
    int64_t start = 0;
    int64_t integrated = 0;
    Rng rng{1};
    int latency_override = -1;
    uintptr_t next_handle = 0x5100;
    std::vector<std::unique_ptr<BridgeModel>> bridges;
    std::map<uintptr_t, int> dead_handles;  // handles of unplugged bridges: bridge number
    std::vector<Coupling> couplings;

    Device* Find(RomCode code, int* bridge = nullptr) const;
    double Model(RomCode sensor, int64_t at) const;
    void Integrate();
    BridgeModel* ByHandle(FT_HANDLE h, FT_STATUS* status);
    uint8_t LineByte(BridgeModel& b, uint8_t byte);
};

// One device on the line: the ROM layer common to all 1-Wire parts, with hooks for the
// function commands of each family. The master's slots arrive as Output() (what the device
// drives) followed by Slot() (the wired-AND level everybody saw).
class Device {
  public:
    Device(World::State* world, RomCode code) : world_(world), code_(code) {}
    virtual ~Device() = default;

    RomCode code() const { return code_; }
    bool attached = true;

    void OnReset() {
        phase_ = Phase::kRom;
        rx_bits_ = 0;
        mode_ = Mode::kRx;
    }
    void Desync() { phase_ = Phase::kIdle; }
    virtual int PresenceBits() const { return 2; }

    bool Output() {
        switch (phase_) {
            case Phase::kReadRom:
                return (code_ >> bit_) & 1;
            case Phase::kSearch:
                if (search_step_ == 2) return true;
                return (((code_ >> bit_) & 1) != 0) != (search_step_ == 1);
            case Phase::kFunction:
                if (mode_ == Mode::kTx) return (tx_[bit_ / 8] >> (bit_ % 8)) & 1;
                if (mode_ == Mode::kPoll) return PollBit();
                return true;
            default:
                return true;
        }
    }

    void Slot(bool line) {
        switch (phase_) {
            case Phase::kIdle:
                return;
            case Phase::kRom:
                if (ReceiveBit(line)) RomCommand(rx_byte_);
                return;
            case Phase::kMatch:
                if (line != (((code_ >> bit_) & 1) != 0)) {
                    phase_ = Phase::kIdle;
                    rc_flag_ = false;
                } else if (++bit_ == 64) {
                    rc_flag_ = true;
                    EnterFunction();
                }
                return;
            case Phase::kReadRom:
                if (++bit_ == 64) EnterFunction();
                return;
            case Phase::kSearch:
                if (search_step_ < 2) {
                    ++search_step_;
                } else if (line != (((code_ >> bit_) & 1) != 0)) {
                    phase_ = Phase::kIdle;  // the master went the other way
                    rc_flag_ = false;
                } else {
                    search_step_ = 0;
                    if (++bit_ == 64) {
                        rc_flag_ = true;
                        EnterFunction();
                    }
                }
                return;
            case Phase::kFunction:
                FunctionSlot(line);
                return;
        }
    }

  protected:
    enum class Mode { kRx, kTx, kPoll, kRelease };

    // Function layer; a device of an unknown family understands none.
    virtual void Command(uint8_t) { Release(); }
    virtual void Byte(uint8_t) {}
    virtual void TxDone() { Release(); }
    virtual bool PollBit() { return true; }
    virtual bool Alarm() { return false; }
    virtual bool HasResume() const { return false; }

    void Receive() {
        mode_ = Mode::kRx;
        rx_bits_ = 0;
    }
    void Send(std::vector<uint8_t> bytes) {
        tx_ = std::move(bytes);
        bit_ = 0;
        mode_ = tx_.empty() ? Mode::kRelease : Mode::kTx;
    }
    void Poll() { mode_ = Mode::kPoll; }
    void Release() { mode_ = Mode::kRelease; }

    World::State* world_;

  private:
    enum class Phase { kIdle, kRom, kMatch, kReadRom, kSearch, kFunction };

    bool ReceiveBit(bool line) {
        rx_byte_ = uint8_t((rx_byte_ >> 1) | (line ? 0x80 : 0));
        if (++rx_bits_ < 8) return false;
        rx_bits_ = 0;
        return true;
    }

    void RomCommand(uint8_t cmd) {
        bit_ = 0;
        switch (cmd) {
            case 0x33:  // READ ROM
                phase_ = Phase::kReadRom;
                return;
            case 0x55:  // MATCH ROM
                phase_ = Phase::kMatch;
                return;
            case 0xCC:  // SKIP ROM
                rc_flag_ = false;
                EnterFunction();
                return;
            case 0xF0:  // SEARCH ROM
                phase_ = Phase::kSearch;
                search_step_ = 0;
                return;
            case 0xEC:  // ALARM SEARCH: only devices with the alarm flag take part
                phase_ = Alarm() ? Phase::kSearch : Phase::kIdle;
                search_step_ = 0;
                return;
            case 0xA5:  // RESUME
                if (HasResume() && rc_flag_) {
                    EnterFunction();
                    return;
                }
                [[fallthrough]];
            default:
                phase_ = Phase::kIdle;
                return;
        }
    }

    void EnterFunction() {
        phase_ = Phase::kFunction;
        awaiting_command_ = true;
        Receive();
    }

    void FunctionSlot(bool line) {
        switch (mode_) {
            case Mode::kRx:
                if (!ReceiveBit(line)) return;
                if (awaiting_command_) {
                    awaiting_command_ = false;
                    Command(rx_byte_);
                } else {
                    Byte(rx_byte_);
                }
                return;
            case Mode::kTx:
                if (++bit_ == int(tx_.size()) * 8) TxDone();
                return;
            case Mode::kPoll:
            case Mode::kRelease:
                return;
        }
    }

    RomCode code_;
    Phase phase_ = Phase::kIdle;
    Mode mode_ = Mode::kRx;
    uint8_t rx_byte_ = 0;
    int rx_bits_ = 0;
    int bit_ = 0;  // ROM bit or transmit bit position
    int search_step_ = 0;
    bool awaiting_command_ = false;
    bool rc_flag_ = false;
    std::vector<uint8_t> tx_;
};

// What DS18B20 and DS1820 share: conversion on the world's clock, scratchpad, EEPROM, alarm.
class Thermometer : public Device {
  public:
    Thermometer(World::State* world, RomCode code, const Thermal& thermal)
        : Device(world, code), thermal_(thermal) {}

    int PresenceBits() const override { return 1; }
    const Thermal& thermal() const { return thermal_; }
    double last = std::numeric_limits<double>::quiet_NaN();
    bool never_converts = false;
    bool corrupt_next = false;

  protected:
    virtual int64_t ConversionUs() const = 0;
    virtual void Store(double celsius) = 0;               // into the temperature register
    virtual std::vector<uint8_t> Scratchpad() const = 0;  // 8 bytes, CRC added by the caller
    virtual int WritableBytes() const = 0;
    virtual void WriteByte(int index, uint8_t value) = 0;
    virtual int IntegerDegrees() const = 0;  // register without its fraction

    void Command(uint8_t cmd) override {
        Settle();
        polling_ = PollKind::kConversion;
        switch (cmd) {
            case 0x44:  // CONVERT T
                if (!converting_) started_ = world_->now;
                converting_ = true;
                Poll();
                return;
            case 0xBE: {  // READ SCRATCHPAD
                auto pad = Scratchpad();
                pad.push_back(Crc8(pad.data(), pad.size()));
                if (corrupt_next) {
                    pad[0] ^= 0x01;  // a bit lost on the way: the CRC no longer fits
                    corrupt_next = false;
                }
                Send(std::move(pad));
                return;
            }
            case 0x4E:  // WRITE SCRATCHPAD
                written_ = 0;
                Receive();
                return;
            case 0x48:  // COPY SCRATCHPAD
                eeprom_th_ = th_;
                eeprom_tl_ = tl_;
                CopyExtra();
                polling_ = PollKind::kDone;
                Poll();
                return;
            case 0xB8:  // RECALL E2
                th_ = eeprom_th_;
                tl_ = eeprom_tl_;
                RecallExtra();
                polling_ = PollKind::kDone;
                Poll();
                return;
            case 0xB4:  // READ POWER SUPPLY: externally powered
                polling_ = PollKind::kDone;
                Poll();
                return;
            default:
                Release();
                return;
        }
    }

    void Byte(uint8_t b) override {
        if (written_ < WritableBytes()) WriteByte(written_++, b);
        if (written_ == WritableBytes()) Release();
    }

    bool PollBit() override {
        if (polling_ == PollKind::kDone) return true;
        Settle();
        return !converting_;
    }

    bool Alarm() override {
        Settle();
        return alarm_;
    }

    virtual void CopyExtra() {}
    virtual void RecallExtra() {}

    // Finishes a conversion whose time has passed (conversions run on across resets).
    void Settle() {
        if (!converting_ || never_converts) return;
        const int64_t end = started_ + (ConversionUs() + 999) / 1000;
        if (world_->now < end) return;
        double t = world_->Model(code(), end);
        if (thermal_.noise_c > 0) t += thermal_.noise_c * (2 * world_->rng.Uniform() - 1);
        t = std::clamp(t, kMinC, kMaxC);
        last = t;
        Store(t);
        converting_ = false;
        const int whole = IntegerDegrees();
        alarm_ = whole >= int8_t(th_) || whole <= int8_t(tl_);
    }

    Thermal thermal_;
    uint8_t th_ = 0x4B, tl_ = 0x46;  // factory alarm bytes
    uint8_t eeprom_th_ = 0x4B, eeprom_tl_ = 0x46;

  private:
    enum class PollKind { kConversion, kDone };
    bool converting_ = false;
    int64_t started_ = 0;
    bool alarm_ = false;
    int written_ = 0;
    PollKind polling_ = PollKind::kConversion;
};

class Ds18b20 final : public Thermometer {
  public:
    Ds18b20(World::State* world, RomCode code, const Thermal& thermal, int resolution)
        : Thermometer(world, code, thermal) {
        config_ = eeprom_config_ = uint8_t(0x1F | (resolution - 9) << 5);
    }
    int Resolution() const { return 9 + ((config_ >> 5) & 3); }

  protected:
    int64_t ConversionUs() const override { return int64_t(93750) << (Resolution() - 9); }
    void Store(double c) override {
        const int drop = 12 - Resolution();  // undefined low bits read as 0
        const long steps = std::lround(c * 16.0 / (1 << drop));
        raw_ = uint16_t(int16_t(steps * (1 << drop)));
    }
    std::vector<uint8_t> Scratchpad() const override {
        return {uint8_t(raw_), uint8_t(raw_ >> 8), th_, tl_, config_, 0xFF, 0x0C, 0x10};
    }
    int WritableBytes() const override { return 3; }
    void WriteByte(int index, uint8_t v) override {
        if (index == 0) th_ = v;
        if (index == 1) tl_ = v;
        if (index == 2) config_ = uint8_t((v & 0x60) | 0x1F);
    }
    int IntegerDegrees() const override { return int16_t(raw_) >> 4; }
    void CopyExtra() override { eeprom_config_ = config_; }
    void RecallExtra() override { config_ = eeprom_config_; }

  private:
    uint16_t raw_ = 0x0550;  // 85 degrees C until the first conversion
    uint8_t config_, eeprom_config_;
};

class Ds1820 final : public Thermometer {
  public:
    using Thermometer::Thermometer;

  protected:
    int64_t ConversionUs() const override { return 750000; }
    // The register holds half degrees; COUNT_REMAIN carries the rest so that
    // TEMP_READ - 0.25 + (16 - COUNT_REMAIN) / 16 gives the temperature to 1/16 degree.
    void Store(double c) override {
        const long q = std::lround(c * 16.0);  // sixteenths
        const long whole = (q + 4 >= 0) ? (q + 4) / 16 : -((-(q + 4) + 15) / 16);
        const long n = q + 4 - 16 * whole;  // 0..15
        reg_ = uint16_t(int16_t(2 * whole + (n >= 8 ? 1 : 0)));
        count_remain_ = uint8_t(16 - n);
    }
    std::vector<uint8_t> Scratchpad() const override {
        return {uint8_t(reg_), uint8_t(reg_ >> 8), th_, tl_, 0xFF, 0xFF, count_remain_, 0x10};
    }
    int WritableBytes() const override { return 2; }
    void WriteByte(int index, uint8_t v) override { (index == 0 ? th_ : tl_) = v; }
    int IntegerDegrees() const override { return int16_t(reg_) >> 1; }

  private:
    uint16_t reg_ = 0x00AA;  // 85 degrees C
    uint8_t count_remain_ = 0x0C;
};

class Ds2413 final : public Device {
  public:
    using Device::Device;

    PinFault faults[2] = {PinFault::kNone, PinFault::kNone};
    bool latch[2] = {true, true};  // power-on: both transistors off

    bool Conducts(int ch) const { return !latch[ch] && faults[ch] != PinFault::kStuckHigh; }
    bool Pin(int ch) const { return !Conducts(ch) && faults[ch] != PinFault::kForcedLow; }
    uint8_t Status() const {
        const uint8_t low = uint8_t(Pin(0) | latch[0] << 1 | Pin(1) << 2 | latch[1] << 3);
        return uint8_t(low | (~low & 0x0F) << 4);
    }

  protected:
    bool HasResume() const override { return true; }
    void Command(uint8_t cmd) override {
        command_ = cmd;
        if (cmd == 0xF5) {  // PIO ACCESS READ: a fresh sample per byte until reset
            Send({Status()});
        } else if (cmd == 0x5A) {  // PIO ACCESS WRITE
            have_value_ = false;
            Receive();
        } else {
            Release();
        }
    }
    void Byte(uint8_t b) override {
        if (!have_value_) {
            value_ = b;
            have_value_ = true;
            return;
        }
        if (uint8_t(~b) != value_) {  // the inverted copy does not match: ones until reset
            Release();
            return;
        }
        latch[0] = value_ & 1;
        latch[1] = (value_ >> 1) & 1;
        Send({0xAA, Status()});
    }
    void TxDone() override {
        if (command_ == 0xF5) {
            Send({Status()});
        } else {  // another output byte may follow
            have_value_ = false;
            Receive();
        }
    }

  private:
    uint8_t command_ = 0;
    uint8_t value_ = 0;
    bool have_value_ = false;
};

// ------------------------------------------------------------------------------------------------

Device* World::State::Find(RomCode code, int* bridge) const {
    for (size_t i = 0; i < bridges.size(); ++i)
        for (const auto& d : bridges[i]->devices)
            if (d->code() == code) {
                if (bridge) *bridge = int(i);
                return d.get();
            }
    return nullptr;
}

double World::State::Model(RomCode sensor, int64_t at) const {
    const auto* t = dynamic_cast<const Thermometer*>(Find(sensor));
    if (!t) return std::numeric_limits<double>::quiet_NaN();
    const Thermal& th = t->thermal();
    double c = th.base_c;
    if (th.swing_c != 0 && th.period_s > 0) {
        const double s = double(at - start) / 1000.0;
        c += th.swing_c * std::sin(2 * std::numbers::pi * s / th.period_s + th.phase_rad);
    }
    for (const auto& k : couplings)
        if (k.sensor == sensor) c += k.offset;
    return c;
}

// Brings the heater offsets up to now; channel states only change inside operations, so the
// piecewise integration is exact.
void World::State::Integrate() {
    const double minutes = double(now - integrated) / 60000.0;
    integrated = now;
    if (minutes <= 0) return;
    for (auto& k : couplings) {
        const auto* sw = dynamic_cast<const Ds2413*>(Find(k.sw));
        if (sw && sw->Conducts(k.channel)) {
            k.offset = std::clamp(k.offset + k.rate * minutes, -200.0, 200.0);
        } else {
            const double relax = std::abs(k.rate) / 2 * minutes;
            k.offset =
                k.offset > 0 ? std::max(0.0, k.offset - relax) : std::min(0.0, k.offset + relax);
        }
    }
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

// One character on the line; returns its echo.
uint8_t World::State::LineByte(BridgeModel& b, uint8_t byte) {
    if (b.held_low) {
        for (auto& d : b.devices) d->Desync();
        return 0x00;
    }
    bool any = false;
    for (auto& d : b.devices) any |= d->attached;
    // The line is low for the start bit and every low-order zero bit after it.
    const int low = 1 + (byte == 0 ? 8 : std::countr_zero(byte));
    const bool one_pulse = byte == uint8_t(0xFF << (low - 1)) || byte == 0;
    const bool framed =
        b.bits == FT_BITS_8 && b.stop == FT_STOP_BITS_1 && b.parity == FT_PARITY_NONE;

    auto garbage = [&] {
        for (auto& d : b.devices) d->Desync();
        return any ? uint8_t(byte & (rng.Next() | 0x0F)) : byte;
    };
    if (!framed) return garbage();

    if (b.baud == 9600) {
        if (low < 5) {  // too long for a slot, too short for a reset
            for (auto& d : b.devices) d->Desync();
            return byte;
        }
        ++b.resets;  // at least 480 us low: a reset pulse
        int presence = 0;
        for (auto& d : b.devices)
            if (d->attached) {
                d->OnReset();
                presence = std::max(presence, d->PresenceBits());
            }
        // The presence pulse pulls the line low in the data bits right after the release.
        uint8_t echo = byte;
        for (int k = low - 1; k < low - 1 + presence && k < 8; ++k) echo &= uint8_t(~(1u << k));
        return echo;
    }
    if (b.baud == 115200) {
        if (!one_pulse) return garbage();
        // Devices sample about 30 us after the falling edge: four bit times low writes 0.
        const bool master = low < 4;
        bool line = master;
        for (auto& d : b.devices)
            if (d->attached && !d->Output()) line = false;
        for (auto& d : b.devices)
            if (d->attached) d->Slot(line);
        // A device answering 0 holds the line for about 25 us past the edge.
        return master && !line ? uint8_t(byte & 0xFC) : byte;
    }
    return garbage();
}

// ------------------------------------------------------------------------------------------------

World::World(Clock& clock, uint64_t seed) : clock_(clock), state_(std::make_unique<State>()) {
    state_->now = state_->start = state_->integrated = clock_.NowMs();
    state_->rng.s = seed;
}

World::~World() = default;

namespace {
// Locks the world and brings its clock and heaters up to date.
struct Op {
    Op(std::mutex& m, World::State& s, Clock& c) : lock(m) {
        s.now = std::max(s.now, c.NowMs());
        s.Integrate();
    }
    std::unique_lock<std::mutex> lock;
};
}  // namespace

int World::AddBridge(const std::string& serial, const std::string& description, uint32_t type,
                     bool open_fails) {
    Op op(mutex_, *state_, clock_);
    auto b = std::make_unique<BridgeModel>();
    b->serial = serial.substr(0, 15);
    b->description = description.substr(0, 63);
    b->type = type;
    b->open_fails = open_fails;
    state_->bridges.push_back(std::move(b));
    return int(state_->bridges.size()) - 1;
}

namespace {
template <typename T, typename... Args>
RomCode AddTo(World::State& s, int bridge, uint8_t family, uint64_t id48, Args&&... args) {
    if (bridge < 0 || bridge >= int(s.bridges.size()) || id48 >> 48) return 0;
    const RomCode code = MakeRomCode(family, id48);
    if (s.Find(code)) return 0;
    s.bridges[size_t(bridge)]->devices.push_back(
        std::make_unique<T>(&s, code, std::forward<Args>(args)...));
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
    state_->couplings.push_back({switch_code, channel, sensor, rate_c_per_min});
    return true;
}

void World::SetLatencyMs(int ms) {
    Op op(mutex_, *state_, clock_);
    state_->latency_override = ms;
}

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
    if (bridge >= 0 && bridge < int(state_->bridges.size()))
        state_->bridges[size_t(bridge)]->held_low = low;
}

void World::SetUnplugged(int bridge, bool unplugged) {
    Op op(mutex_, *state_, clock_);
    if (bridge < 0 || bridge >= int(state_->bridges.size())) return;
    BridgeModel& b = *state_->bridges[size_t(bridge)];
    if (unplugged && b.handle) {  // the handle stays around, but nothing works through it
        state_->dead_handles[b.handle] = bridge;
        b.handle = 0;
        b.rx.clear();
    }
    b.unplugged = unplugged;
}

void World::ShortenNextReads(int bridge, uint32_t max_bytes, int reads) {
    Op op(mutex_, *state_, clock_);
    if (bridge < 0 || bridge >= int(state_->bridges.size())) return;
    state_->bridges[size_t(bridge)]->short_max = max_bytes;
    state_->bridges[size_t(bridge)]->short_reads = reads;
}

int World::BridgeCount() const {
    std::lock_guard lock(mutex_);
    return int(state_->bridges.size());
}

BridgeState World::Bridge(int bridge) const {
    std::lock_guard lock(mutex_);
    BridgeState s;
    if (bridge < 0 || bridge >= int(state_->bridges.size())) return s;
    const auto& b = *state_->bridges[size_t(bridge)];
    s.open = b.handle != 0;
    s.unplugged = b.unplugged;
    s.baud = b.baud;
    s.latency_timer_ms = b.latency_timer;
    s.read_timeout_ms = b.read_timeout;
    s.write_timeout_ms = b.write_timeout;
    s.usb_in_size = b.usb_in;
    s.bytes_written = b.bytes_written;
    s.reads = b.reads;
    s.resets = b.resets;
    return s;
}

std::vector<RomCode> World::Devices(int bridge) const {
    std::lock_guard lock(mutex_);
    std::vector<RomCode> out;
    if (bridge < 0 || bridge >= int(state_->bridges.size())) return out;
    for (const auto& d : state_->bridges[size_t(bridge)]->devices)
        if (d->attached) out.push_back(d->code());
    return out;
}

double World::ModelTemperature(RomCode sensor) const {
    Op op(mutex_, *state_, clock_);
    return state_->Model(sensor, state_->now);
}

double World::LastConversion(RomCode sensor) const {
    Op op(mutex_, *state_, clock_);
    auto* t = dynamic_cast<Thermometer*>(state_->Find(sensor));
    return t ? t->last : std::numeric_limits<double>::quiet_NaN();
}

int World::SwitchStatus(RomCode switch_code) const {
    std::lock_guard lock(mutex_);
    auto* s = dynamic_cast<Ds2413*>(state_->Find(switch_code));
    return s ? s->Status() : -1;
}

bool World::ChannelOn(RomCode switch_code, int channel) const {
    std::lock_guard lock(mutex_);
    auto* s = dynamic_cast<Ds2413*>(state_->Find(switch_code));
    return s && channel >= 0 && channel <= 1 && s->Conducts(channel);
}

// --- D2XX -------------------------------------------------------------------------------------

FT_STATUS World::Open(int index, FT_HANDLE* handle) {
    Op op(mutex_, *state_, clock_);
    if (!handle) return kFtInvalidParameter;
    int seen = 0;
    for (auto& b : state_->bridges) {
        if (b->unplugged) continue;
        if (seen++ != index) continue;
        if (b->open_fails || b->handle) return FT_DEVICE_NOT_OPENED;
        b->handle = state_->next_handle;
        state_->next_handle += 0x10;
        b->baud = 9600;
        b->bits = FT_BITS_8;
        b->stop = FT_STOP_BITS_1;
        b->parity = FT_PARITY_NONE;
        b->latency_timer = 16;
        b->read_timeout = b->write_timeout = 0;
        b->usb_in = 4096;
        b->rx.clear();
        *handle = reinterpret_cast<FT_HANDLE>(b->handle);
        return FT_OK;
    }
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS World::Close(FT_HANDLE handle) {
    Op op(mutex_, *state_, clock_);
    if (state_->dead_handles.erase(reinterpret_cast<uintptr_t>(handle))) return FT_OK;
    FT_STATUS st;
    BridgeModel* b = state_->ByHandle(handle, &st);
    if (!b) return st;
    b->handle = 0;
    b->rx.clear();
    return FT_OK;
}

FT_STATUS World::GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial,
                               char* description, void*) {
    Op op(mutex_, *state_, clock_);
    FT_STATUS st;
    BridgeModel* b = state_->ByHandle(handle, &st);
    if (!b) return st;
    if (type) *type = b->type;
    if (id) *id = kUsbId;
    if (serial) std::memcpy(serial, b->serial.c_str(), b->serial.size() + 1);
    if (description) std::memcpy(description, b->description.c_str(), b->description.size() + 1);
    return FT_OK;
}

FT_STATUS World::SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop, UCHAR parity) {
    Op op(mutex_, *state_, clock_);
    FT_STATUS st;
    BridgeModel* b = state_->ByHandle(handle, &st);
    if (!b) return st;
    if ((bits != 7 && bits != 8) || (stop != 0 && stop != 2) || parity > 4)
        return kFtInvalidParameter;
    b->bits = bits;
    b->stop = stop;
    b->parity = parity;
    return FT_OK;
}

FT_STATUS World::SetBaudRate(FT_HANDLE handle, ULONG baud) {
    Op op(mutex_, *state_, clock_);
    FT_STATUS st;
    BridgeModel* b = state_->ByHandle(handle, &st);
    if (!b) return st;
    if (baud < 183 || baud > 3000000) return kFtInvalidBaudRate;  // the chip's divisor range
    b->baud = baud;
    return FT_OK;
}

FT_STATUS World::SetUSBParameters(FT_HANDLE handle, ULONG in_size, ULONG) {
    Op op(mutex_, *state_, clock_);
    FT_STATUS st;
    BridgeModel* b = state_->ByHandle(handle, &st);
    if (!b) return st;
    if (in_size < 64 || in_size > 65536) return kFtInvalidParameter;
    b->usb_in = in_size;
    return FT_OK;
}

FT_STATUS World::SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    Op op(mutex_, *state_, clock_);
    FT_STATUS st;
    BridgeModel* b = state_->ByHandle(handle, &st);
    if (!b) return st;
    if (ms < 1) return kFtInvalidParameter;
    b->latency_timer = ms;
    return FT_OK;
}

FT_STATUS World::SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms) {
    Op op(mutex_, *state_, clock_);
    FT_STATUS st;
    BridgeModel* b = state_->ByHandle(handle, &st);
    if (!b) return st;
    b->read_timeout = read_ms;
    b->write_timeout = write_ms;
    return FT_OK;
}

FT_STATUS World::Purge(FT_HANDLE handle, ULONG mask) {
    Op op(mutex_, *state_, clock_);
    FT_STATUS st;
    BridgeModel* b = state_->ByHandle(handle, &st);
    if (!b) return st;
    if (mask & FT_PURGE_RX) b->rx.clear();
    return FT_OK;  // nothing ever waits in the transmit buffer
}

FT_STATUS World::Write(FT_HANDLE handle, void* buffer, DWORD n, DWORD* written) {
    Op op(mutex_, *state_, clock_);
    if (written) *written = 0;
    FT_STATUS st;
    BridgeModel* b = state_->ByHandle(handle, &st);
    if (!b) return st;
    if (!buffer && n) return kFtInvalidParameter;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    for (DWORD i = 0; i < n; ++i) {
        const uint8_t echo = state_->LineByte(*b, bytes[i]);
        if (b->rx.size() < kRxCapacity) b->rx.push_back(echo);
    }
    b->bytes_written += n;
    if (written) *written = n;
    return FT_OK;
}

FT_STATUS World::Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
    int64_t wait = 0;
    FT_STATUS result = FT_OK;
    {
        Op op(mutex_, *state_, clock_);
        if (got) *got = 0;
        FT_STATUS st;
        BridgeModel* b = state_->ByHandle(handle, &st);
        if (!b) return st;
        if (!buffer && n) return kFtInvalidParameter;
        if (n == 0) return FT_OK;
        ++b->reads;
        size_t count = std::min<size_t>(n, b->rx.size());
        if (b->short_reads > 0) {
            --b->short_reads;
            count = std::min<size_t>(count, b->short_max);
        }
        auto* out = static_cast<uint8_t*>(buffer);
        for (size_t i = 0; i < count; ++i) {
            out[i] = b->rx.front();
            b->rx.pop_front();
        }
        if (got) *got = DWORD(count);
        // The echo waits in the chip for the latency timer; a short read waits for the timeout.
        wait = state_->latency_override >= 0 ? state_->latency_override : b->latency_timer;
        if (count < n) wait = std::max<int64_t>(wait, b->read_timeout);
    }
    clock_.SleepMs(wait);
    return result;
}

FT_STATUS World::ListDevices(void* arg1, void* arg2, DWORD flags) {
    Op op(mutex_, *state_, clock_);
    std::vector<const BridgeModel*> present;
    for (const auto& b : state_->bridges)
        if (!b->unplugged) present.push_back(b.get());
    return AnswerListDevices(arg1, arg2, flags, present.size(),
                             [&](size_t i, DWORD f) -> const std::string* {
                                 const BridgeModel& b = *present[i];
                                 if (f & FT_OPEN_BY_SERIAL_NUMBER) return &b.serial;
                                 if (f & FT_OPEN_BY_DESCRIPTION) return &b.description;
                                 return nullptr;
                             });
}

}  // namespace kalvo::sim
