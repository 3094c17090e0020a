#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace kalvo {

// Step text "H:M:S;L/U" (a delay text is "H:M:S;"). Any of ':', ';' and '/' separates; empty
// pieces are dropped; each piece is a decimal whole number read as far as it goes. Returns
// (H * 60 + M) * 60 + S with 32-bit wrap-around, 0 with fewer than three numbers. The
// thresholds are written only when both are asked for and the text holds exactly five numbers.
uint32_t ParseStepText(std::u16string_view text, int32_t* lower = nullptr,
                       int32_t* upper = nullptr);

// Whether a typed text reads as what it is meant to be, stricter than ParseStepText: three
// numbers H:M:S, and for a step optionally two more for Тн/Тв. Every piece must begin with a
// number (what follows it is ignored, as ParseStepText does), the time parts carry no sign, and
// the time must fit 32 bits. "abc", "1:0:0;25" and "-1:0:0" do not.
bool StepTextParses(std::u16string_view text, bool with_thresholds);

// "H:M:S;" without leading zeros, hours unbounded (5400 -> "1:30:0;").
std::u16string FormatDuration(uint32_t seconds);
// "L/U" in full (20, 30 -> "20/30").
std::u16string FormatThresholds(int32_t lower, int32_t upper);

// FormatDuration for sums of several steps, which may pass 2^32 seconds.
std::u16string FormatTotalDuration(uint64_t seconds);

}  // namespace kalvo
