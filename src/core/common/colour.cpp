#include "core/common/colour.h"

namespace kalvo {
static_assert(ColorrefToArgb(Rgb(255, 99, 71)) == 0xFFFF6347u);
static_assert(ArgbToColorref(0xFFFF6347u) == Rgb(255, 99, 71));
}  // namespace kalvo
