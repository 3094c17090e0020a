// Any text parses without harm, and whatever it gives is shown as a text that parses back the
// same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/scenario/scenario_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kalvo;
    std::u16string text(size / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));

    int32_t lower = 0, upper = 0;
    const uint32_t seconds = ParseStepText(text, &lower, &upper);
    if (ParseStepText(text) != seconds) std::abort();

    int32_t lower2 = 1, upper2 = 1;
    const std::u16string shown = FormatDuration(seconds) + u" " + FormatThresholds(lower, upper);
    if (ParseStepText(shown, &lower2, &upper2) != seconds || lower2 != lower || upper2 != upper) {
        std::fprintf(stderr, "shown text does not read back\n");
        std::abort();
    }
    return 0;
}
