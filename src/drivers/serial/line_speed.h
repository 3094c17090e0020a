#pragma once
// Any line rate through the kernel's termios2 interface, which the classic speed constants lack
// (131072 baud has none). On a pseudo-terminal master these read the slave's settings.
#include <cstdint>

namespace kalvo::serial {

bool SetLineSpeed(int fd, uint32_t baud);
// The output rate in baud; false when the descriptor is not a terminal.
bool GetLineSpeed(int fd, uint32_t* baud);

}  // namespace kalvo::serial
