// The drop-in driver's ports: chosen at the first call from sysfs ($KALVO_SYSFS_ROOT, default
// /sys) and $KALVO_SERIAL_PORTS. The exported functions are the front's (d2xx_exports.cpp).
#include <atomic>
#include <memory>
#include <mutex>

#include "drivers/front/d2xx_front.h"
#include "drivers/serial/serial_driver.h"

namespace kalvo::serial {
namespace {

std::atomic<SerialDriver*> g_driver{nullptr};

struct Holder {
    std::unique_ptr<SerialDriver> driver;
    // A program closing its bridge from a static destructor after ours finds no driver.
    ~Holder() { g_driver = nullptr; }
};

SerialDriver* TheDriver() {
    static Holder holder;
    static std::once_flag once;
    std::call_once(once, [] {
        holder.driver = std::make_unique<SerialDriver>(PortSourcesFromEnvironment());
        g_driver = holder.driver.get();
    });
    return g_driver.load();
}

}  // namespace
}  // namespace kalvo::serial

kalvo::front::Driver* kalvo::front::ExportedDriver() {
    return serial::TheDriver();
}
