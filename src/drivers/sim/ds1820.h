#pragma once
// DS1820: a half-degree register, refined to 1/16 degree through COUNT_REMAIN; 750 ms per
// conversion.
#include "drivers/sim/thermometer.h"

namespace kalvo::sim {

class Ds1820 final : public Thermometer {
  public:
    using Thermometer::Thermometer;

  protected:
    int64_t ConversionUs() const override { return 750000; }
    void Store(double celsius) override;
    std::vector<uint8_t> Scratchpad() const override;
    int WritableBytes() const override { return 2; }
    void WriteByte(int index, uint8_t v) override { (index == 0 ? th_ : tl_) = v; }
    int IntegerDegrees() const override { return int16_t(reg_) >> 1; }
    void PowerOnRegister() override {
        reg_ = kPowerOnReg;
        count_remain_ = kPowerOnCount;
    }

  private:
    static constexpr uint16_t kPowerOnReg = 0x00AA;  // 85 degrees C
    static constexpr uint8_t kPowerOnCount = 0x0C;
    uint16_t reg_ = kPowerOnReg;
    uint8_t count_remain_ = kPowerOnCount;
};

}  // namespace kalvo::sim
