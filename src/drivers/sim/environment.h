#pragma once
// What every part of the simulated bus sees of the world: the time of the operation in progress,
// the random sources (both from the one seed, so a seed repeats a run exactly) and the thermal
// model.
#include <cstdint>

#include "drivers/sim/thermal.h"

namespace kalvo::sim {

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

struct Environment {
    Environment(int64_t now_ms, uint64_t seed)
        : now(now_ms), rng{seed}, line_noise{~seed}, thermal(now_ms) {}

    int64_t now;  // ms, the clock at the start of the current operation
    Rng rng;
    // Its own stream, so that noise on the line leaves the readings as they were without it.
    Rng line_noise;
    ThermalModel thermal;
};

}  // namespace kalvo::sim
