#include "drivers/sim/thermometer.h"

#include <algorithm>

namespace kalvo::sim {
namespace {

constexpr double kMinC = -55.0, kMaxC = 125.0;  // the sensors' range

}  // namespace

void Thermometer::Command(uint8_t cmd) {
    Settle();
    polling_ = PollKind::kConversion;
    switch (cmd) {
        case 0x44:  // CONVERT T
            if (!converting_) started_ = env_->now;
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

void Thermometer::Byte(uint8_t b) {
    if (written_ < WritableBytes()) WriteByte(written_++, b);
    if (written_ == WritableBytes()) Release();
}

bool Thermometer::PollBit() {
    if (polling_ == PollKind::kDone) return true;
    Settle();
    return !converting_;
}

bool Thermometer::Alarm() {
    Settle();
    return alarm_;
}

void Thermometer::PowerOn() {
    Device::PowerOn();
    converting_ = false;
    alarm_ = false;
    written_ = 0;
    polling_ = PollKind::kConversion;
    th_ = eeprom_th_;
    tl_ = eeprom_tl_;
    RecallExtra();
    PowerOnRegister();
}

void Thermometer::Settle() {
    if (!converting_ || never_converts || never_timed) return;
    const int64_t end = started_ + (ConversionUs() + 999) / 1000;
    if (env_->now < end) return;
    double t = env_->thermal.Temperature(thermal_, code(), end);
    if (thermal_.noise_c > 0) t += thermal_.noise_c * (2 * env_->rng.Uniform() - 1);
    t = std::clamp(t, kMinC, kMaxC);
    last = t;
    Store(t);
    converting_ = false;
    const int whole = IntegerDegrees();
    alarm_ = whole >= int8_t(th_) || whole <= int8_t(tl_);
}

}  // namespace kalvo::sim
