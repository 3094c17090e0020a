#pragma once
// What DS18B20 and DS1820 share: conversion on the world's clock, scratchpad, EEPROM, alarm.
#include <cstdint>
#include <limits>
#include <vector>

#include "drivers/sim/one_wire.h"
#include "drivers/sim/thermal.h"

namespace kalvo::sim {

class Thermometer : public Device {
  public:
    Thermometer(Environment* env, RomCode code, const Thermal& thermal)
        : Device(env, code), thermal_(thermal) {}

    int PresenceBits() const override { return 1; }
    const Thermal& thermal() const { return thermal_; }
    double last = std::numeric_limits<double>::quiet_NaN();
    bool never_converts = false;  // fault: CONVERT T never ends
    bool never_timed = false;     // the same, while a timed fault lasts
    bool corrupt_next = false;    // fault: the next READ SCRATCHPAD has a bad CRC

    // Power-up: EEPROM recalled, no conversion running, the register at 85 degrees C.
    void PowerOn() override;

  protected:
    virtual int64_t ConversionUs() const = 0;
    virtual void Store(double celsius) = 0;               // into the temperature register
    virtual std::vector<uint8_t> Scratchpad() const = 0;  // 8 bytes, CRC added by the caller
    virtual int WritableBytes() const = 0;
    virtual void WriteByte(int index, uint8_t value) = 0;
    virtual int IntegerDegrees() const = 0;  // register without its fraction
    virtual void CopyExtra() {}
    virtual void RecallExtra() {}
    virtual void PowerOnRegister() = 0;

    void Command(uint8_t cmd) override;
    void Byte(uint8_t b) override;
    bool PollBit() override;
    bool Alarm() override;

    Thermal thermal_;
    uint8_t th_ = 0x4B, tl_ = 0x46;  // factory alarm bytes
    uint8_t eeprom_th_ = 0x4B, eeprom_tl_ = 0x46;

  private:
    enum class PollKind { kConversion, kDone };

    // Finishes a conversion whose time has passed (conversions run on across resets).
    void Settle();

    bool converting_ = false;
    int64_t started_ = 0;
    bool alarm_ = false;
    int written_ = 0;
    PollKind polling_ = PollKind::kConversion;
};

}  // namespace kalvo::sim
