#include "drivers/serial/serial_api.h"

#include <atomic>

#include "drivers/serial/serial_driver.h"

namespace kalvo::serial {
namespace {

std::atomic<SerialDriver*> g_driver{nullptr};

front::Driver* Active() {
    return g_driver.load();
}

}  // namespace

const D2xxApi& Api() {
    return front::Entry<&Active>::kTable;
}

void SetActiveDriver(SerialDriver* driver) {
    g_driver.store(driver);
}

}  // namespace kalvo::serial
