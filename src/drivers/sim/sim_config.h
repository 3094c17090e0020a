#pragma once
// simbus.conf: the text description of a simulated bus, and the built-in default bus.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "drivers/sim/sim_world.h"

namespace kalvo::sim {

struct DeviceConfig {
    enum class Kind { kDs18b20, kDs1820, kDs2413, kOther };
    Kind kind = Kind::kOther;
    uint8_t family = 0;  // for kOther
    uint64_t id48 = 0;
    Thermal thermal;
    int resolution = 12;  // DS18B20 only
    bool operator==(const DeviceConfig&) const = default;
};

struct BridgeConfig {
    std::string serial = "KALVO001";
    std::string description = "FT232R USB UART";
    uint32_t type = FT_DEVICE_232R;
    bool open_fails = false;
    std::vector<DeviceConfig> devices;
    bool operator==(const BridgeConfig&) const = default;
};

struct CouplingConfig {
    uint64_t switch_id48 = 0;
    int channel = 0;  // 0 = A, 1 = B
    uint64_t sensor_id48 = 0;
    double rate_c_per_min = 0;
    bool operator==(const CouplingConfig&) const = default;
};

// A `fault` line: the TimedFault it schedules, with the device by its id.
struct FaultConfig {
    FaultKind kind = FaultKind::kGone;
    int64_t at_ms = 0;
    int64_t for_ms = -1;  // -1: to the end of the run
    bool has_id = false;
    uint64_t id48 = 0;
    int bridge = 0;  // index in BusConfig::bridges: the bridge line above it
    double rate = kDefaultNoiseRate;
    bool operator==(const FaultConfig&) const = default;
};

struct BusConfig {
    std::vector<BridgeConfig> bridges;
    std::vector<CouplingConfig> couplings;
    std::vector<FaultConfig> faults;
    int latency_ms = -1;  // -1: the latency timer the program sets
    uint64_t seed = 1;
    bool operator==(const BusConfig&) const = default;
};

struct ConfigError {
    int line = 0;
    std::string message;
    std::string Text() const;  // "line 3: unknown key 'tmp'"
};

// False with `error` set on the first malformed line; `config` is then left unspecified.
bool ParseBusConfig(std::string_view text, BusConfig* config, ConfigError* error);
// Reads and parses a file; a file that cannot be read is an error on line 0.
bool LoadBusConfig(const std::string& path, BusConfig* config, ConfigError* error);
// The bus the demo driver uses when there is no simbus.conf.
BusConfig DefaultBusConfig();
// Adds the configured bridges, devices, couplings, latency and faults to a world. Fault times
// count from the world's making (World::RunMs).
void BuildWorld(const BusConfig& config, World& world);
// A new world on `clock` with the configured seed, built from `config`.
std::unique_ptr<World> MakeWorld(const BusConfig& config, Clock& clock);

}  // namespace kalvo::sim
