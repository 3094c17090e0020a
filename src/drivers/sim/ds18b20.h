#pragma once
// DS18B20: 9 to 12 bits, conversion time doubling with each bit, resolution in its EEPROM.
#include "drivers/sim/thermometer.h"

namespace kalvo::sim {

class Ds18b20 final : public Thermometer {
  public:
    Ds18b20(Environment* env, RomCode code, const Thermal& thermal, int resolution);
    int Resolution() const { return 9 + ((config_ >> 5) & 3); }
    bool low_power = false;  // timed fault: answers 0x07FF as its temperature

  protected:
    int64_t ConversionUs() const override { return int64_t(93750) << (Resolution() - 9); }
    void Store(double celsius) override;
    std::vector<uint8_t> Scratchpad() const override;
    int WritableBytes() const override { return 3; }
    void WriteByte(int index, uint8_t value) override;
    int IntegerDegrees() const override { return int16_t(raw_) >> 4; }
    void CopyExtra() override { eeprom_config_ = config_; }
    void RecallExtra() override { config_ = eeprom_config_; }
    void PowerOnRegister() override {
        raw_ = kPowerOnRaw;
        byte6_ = kPowerOnByte6;
    }

  private:
    static constexpr uint16_t kPowerOnRaw = 0x0550;  // 85 degrees C until the first conversion
    static constexpr uint8_t kPowerOnByte6 = 0x0C;
    uint16_t raw_ = kPowerOnRaw;
    uint8_t byte6_ = kPowerOnByte6;  // reserved, but each conversion sets it as below
    uint8_t config_, eeprom_config_;
};

}  // namespace kalvo::sim
