#pragma once
// Day records as lines of the time-series databases' line protocol:
//   temperature,id=28-00000a1b2c5f,name=Комната,node=pi celsius=21.5 1268000000000000000
#include <string>
#include <string_view>

#include "core/common/sample_record.h"

namespace kalvo {

// The shortest decimal text that reads back as the same double, never with an exponent:
// "21.5", "-0.0625", "20". Empty for NaN and infinities.
std::string ShortestDecimal(double value);

// A tag key or value: ',', '=', ' ' and '\' escaped with '\'. Control characters (a name may end
// in a line break) become blanks, and blanks at either end go, as a line cannot hold them.
std::string EscapeTag(std::string_view utf8);

// One line with its '\n' for a record that holds a reading; empty for any other record, and for
// a time that does not fit the nanosecond stamp. An empty name or node leaves its tag out.
std::string LineProtocolRecord(const SampleRecord& record, std::string_view node);

}  // namespace kalvo
