#include "sim/sim_config.h"

namespace kalvo::sim {

std::string ConfigError::Text() const {
    return "line " + std::to_string(line) + ": " + message;
}
bool ParseBusConfig(std::string_view, BusConfig*, ConfigError* error) {
    if (error) *error = {0, "not implemented"};
    return false;
}
bool LoadBusConfig(const std::string&, BusConfig*, ConfigError* error) {
    if (error) *error = {0, "not implemented"};
    return false;
}
BusConfig DefaultBusConfig() {
    return {};
}
void BuildWorld(const BusConfig&, World&) {}

}  // namespace kalvo::sim
