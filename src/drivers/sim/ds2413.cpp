#include "drivers/sim/ds2413.h"

namespace kalvo::sim {

uint8_t Ds2413::Status() const {
    const uint8_t low = uint8_t(Pin(0) | latch[0] << 1 | Pin(1) << 2 | latch[1] << 3);
    return uint8_t(low | (~low & 0x0F) << 4);
}

void Ds2413::Command(uint8_t cmd) {
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

void Ds2413::Byte(uint8_t b) {
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

void Ds2413::TxDone() {
    if (command_ == 0xF5) {
        Send({Status()});
    } else {  // another output byte may follow
        have_value_ = false;
        Receive();
    }
}

}  // namespace kalvo::sim
