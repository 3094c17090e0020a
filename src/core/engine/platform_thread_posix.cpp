#include <sys/resource.h>
#include <unistd.h>

#include "core/engine/platform_thread.h"

namespace kalvo {

void RaiseCurrentThreadPriority() {
    // On Linux the nice value is per thread. Lowering it needs a privilege most users lack.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -5);
}

}  // namespace kalvo
