#pragma once
// The thermal model: each sensor's slow swing, and the heaters that switch channels drive.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "drivers/sim/rom_code.h"

namespace kalvo::sim {

// Temperature of one sensor over time: base + swing * sin(2 pi t / period + phase) + noise.
struct Thermal {
    double base_c = 20.0;     // degrees C
    double swing_c = 0.0;     // amplitude, degrees C
    double period_s = 600.0;  // seconds
    double phase_rad = 0.0;
    double noise_c = 0.0;  // amplitude of the uniform noise drawn per conversion, degrees C
    bool operator==(const Thermal&) const = default;
};

class ThermalModel {
  public:
    explicit ThermalModel(int64_t start_ms) : start_ms_(start_ms), integrated_ms_(start_ms) {}

    // The noise-free temperature of `sensor`, whose swing is `thermal`, at `at_ms`, heaters
    // included.
    double Temperature(const Thermal& thermal, RomCode sensor, int64_t at_ms) const;
    // While the channel conducts the sensor warms at rate_c_per_min (negative cools); when it
    // stops, the accumulated offset relaxes to 0 at half that rate.
    void Couple(RomCode switch_code, int channel, RomCode sensor, double rate_c_per_min);

    // Brings the heater offsets up to now_ms. conducts(switch, channel) says which heaters are
    // on; they only change inside operations, so the piecewise integration is exact.
    template <class Conducts>
    void Integrate(int64_t now_ms, Conducts conducts) {
        const double minutes = double(now_ms - integrated_ms_) / 60000.0;
        integrated_ms_ = now_ms;
        if (minutes <= 0) return;
        for (auto& k : couplings_) {
            if (conducts(k.switch_code, k.channel)) {
                k.offset_c = std::clamp(k.offset_c + k.rate * minutes, -200.0, 200.0);
            } else {
                const double relax = std::abs(k.rate) / 2 * minutes;
                k.offset_c = k.offset_c > 0 ? std::max(0.0, k.offset_c - relax)
                                            : std::min(0.0, k.offset_c + relax);
            }
        }
    }

  private:
    struct Coupling {
        RomCode switch_code;
        int channel;
        RomCode sensor;
        double rate;          // degrees C per minute while on
        double offset_c = 0;  // degrees C
    };

    int64_t start_ms_;
    int64_t integrated_ms_;
    std::vector<Coupling> couplings_;
};

}  // namespace kalvo::sim
