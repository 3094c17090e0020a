#pragma once
// [sensor ID], [channel ID a|b] and [alarm] of kalvo.ini as Rules.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/rules.h"
#include "core/config/kalvo_ini.h"

namespace kalvo {

// "28-00000a1b2c5f" (either case) as a ROM code, its CRC byte computed. Nothing for other text.
std::optional<uint64_t> ParseW1Id(std::string_view text);

// Every [sensor ...] and [channel ...] section and [alarm]. A bad section name or value is left
// out with a warning naming its line; the rest is read.
Rules ReadRules(const KalvoIni& ini, std::vector<std::string>* warnings = nullptr);

// Puts `rules` into the document: a value is set in place (an equal value keeps its spelling), a
// value that is off removes its key, a section left with nothing in it goes. Other keys and
// sections stay. False when a value cannot be written (the alarm command with a ';' after a
// blank); everything else is written.
bool WriteRules(KalvoIni& ini, const Rules& rules);

}  // namespace kalvo
