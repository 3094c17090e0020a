#pragma once

namespace kalvo {

// Gives the calling thread a higher scheduling priority where the system allows it; without
// the right to do so nothing changes.
void RaiseCurrentThreadPriority();

}  // namespace kalvo
