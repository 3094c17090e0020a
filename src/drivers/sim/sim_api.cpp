#include "drivers/sim/sim_api.h"

#include <atomic>

#include "drivers/sim/sim_world.h"

namespace kalvo::sim {
namespace {

std::atomic<World*> g_world{nullptr};

front::Driver* Active() {
    return g_world.load();
}

}  // namespace

const D2xxApi& Api() {
    return front::Entry<&Active>::kTable;
}
void SetActiveWorld(World* world) {
    g_world.store(world);
}
World* ActiveWorld() {
    return g_world.load();
}

}  // namespace kalvo::sim
