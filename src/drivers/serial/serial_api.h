#pragma once
// The serial driver behind the program's driver table, for tests and tools that run the device
// layer in-process: every function acts on the active driver and fails as a driver without
// devices would when there is none.
#include "core/device/d2xx.h"

namespace kalvo::serial {

class SerialDriver;

const D2xxApi& Api();
// The caller keeps the driver alive while it is active.
void SetActiveDriver(SerialDriver* driver);

}  // namespace kalvo::serial
