#pragma once
// The simulator behind the program's driver table: every function acts on the process's active
// world and fails as a driver without devices would when there is none.
#include "core/device/d2xx.h"

namespace kalvo::sim {

class World;

const D2xxApi& Api();
// The world the table's functions act on; the caller keeps it alive while it is active.
void SetActiveWorld(World* world);
World* ActiveWorld();

}  // namespace kalvo::sim
