// The drop-in driver's world: read at the first call from $KALVO_SIMBUS, else simbus.conf beside
// the program, else the built-in bus. The exported functions are the front's (d2xx_exports.cpp).
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "core/common/clock.h"
#include "core/common/paths.h"
#include "drivers/front/d2xx_front.h"
#include "drivers/sim/sim_config.h"
#include "drivers/sim/sim_world.h"

namespace kalvo::sim {
namespace {

std::atomic<bool> g_gone{false};

struct Holder {
    std::unique_ptr<World> world;  // null when the configuration was malformed
    // A program closing its bridge from a static destructor after ours finds no world.
    ~Holder() { g_gone = true; }
};

World* LoadWorld() {
    BusConfig config = DefaultBusConfig();
    ConfigError error;
    std::string path;
    if (const char* env = std::getenv("KALVO_SIMBUS"); env && *env) {
        path = env;
    } else {
        const std::string beside = ProgramFolder() + "/simbus.conf";
        struct stat st {};
        if (stat(beside.c_str(), &st) == 0) path = beside;
    }
    if (!path.empty() && !LoadBusConfig(path, &config, &error)) {
        std::fprintf(stderr, "simulated bus %s: %s; no devices\n", path.c_str(),
                     error.Text().c_str());
        return nullptr;
    }
    return MakeWorld(config, SystemClock()).release();
}

World* TheWorld() {
    static Holder holder;
    static std::once_flag once;
    if (g_gone) return nullptr;
    std::call_once(once, [] { holder.world.reset(LoadWorld()); });
    return holder.world.get();
}

}  // namespace
}  // namespace kalvo::sim

kalvo::front::Driver* kalvo::front::ExportedDriver() {
    return sim::TheWorld();
}
