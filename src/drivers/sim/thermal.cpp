#include "drivers/sim/thermal.h"

#include <numbers>

namespace kalvo::sim {

double ThermalModel::Temperature(const Thermal& th, RomCode sensor, int64_t at_ms) const {
    double c = th.base_c;
    if (th.swing_c != 0 && th.period_s > 0) {
        const double s = double(at_ms - start_ms_) / 1000.0;
        c += th.swing_c * std::sin(2 * std::numbers::pi * s / th.period_s + th.phase_rad);
    }
    for (const auto& k : couplings_)
        if (k.sensor == sensor) c += k.offset_c;
    return c;
}

void ThermalModel::Couple(RomCode switch_code, int channel, RomCode sensor, double rate_c_per_min) {
    couplings_.push_back({switch_code, channel, sensor, rate_c_per_min});
}

}  // namespace kalvo::sim
