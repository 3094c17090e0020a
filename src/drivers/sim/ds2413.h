#pragma once
// DS2413 dual switch: PIO ACCESS READ and WRITE with its 0xAA confirmation, latches and pins.
#include <cstdint>

#include "drivers/sim/faults.h"
#include "drivers/sim/one_wire.h"

namespace kalvo::sim {

class Ds2413 final : public Device {
  public:
    using Device::Device;

    PinFault faults[2] = {PinFault::kNone, PinFault::kNone};
    bool latch[2] = {true, true};  // power-on: both transistors off

    bool Conducts(int ch) const { return !latch[ch] && faults[ch] != PinFault::kStuckHigh; }
    bool Pin(int ch) const { return !Conducts(ch) && faults[ch] != PinFault::kForcedLow; }
    uint8_t Status() const;
    // Power-up: both transistors off.
    void PowerOn() override {
        Device::PowerOn();
        latch[0] = latch[1] = true;
    }

  protected:
    bool HasResume() const override { return true; }
    void Command(uint8_t cmd) override;
    void Byte(uint8_t b) override;
    void TxDone() override;

  private:
    uint8_t command_ = 0;
    uint8_t value_ = 0;
    bool have_value_ = false;
};

}  // namespace kalvo::sim
