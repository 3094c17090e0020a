#pragma once
// Warnings about kalvo.ini name the file and the line, so a person finds the value at once.
#include <string>
#include <string_view>
#include <vector>

#include "core/config/kalvo_ini.h"

namespace kalvo::config_detail {

inline void Warn(std::vector<std::string>* warnings, const KalvoIni& ini, int line,
                 std::string_view text) {
    if (!warnings) return;
    std::string out = ini.path().empty() ? std::string("kalvo.ini") : ini.path();
    if (line > 0) out += ": line " + std::to_string(line);
    out += ": ";
    out += text;
    warnings->push_back(std::move(out));
}

inline std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return out;
}

}  // namespace kalvo::config_detail
