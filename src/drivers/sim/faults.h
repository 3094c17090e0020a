#pragma once
// Faults a test may inject. The World's fault hooks are in faults.cpp; what they set lives in
// the device and bridge models.
namespace kalvo::sim {

// A fault on one DS2413 output pin.
enum class PinFault {
    kNone,
    kForcedLow,  // something outside pulls the pin low whatever the latch
    kStuckHigh,  // the output transistor never conducts
};

}  // namespace kalvo::sim
