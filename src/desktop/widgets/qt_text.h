#pragma once
// The core's UTF-16 text and QString share one encoding; these only copy.
#include <QString>

#include <string>
#include <string_view>

namespace kalvo {

inline QString ToQString(std::u16string_view text) {
    return QString::fromUtf16(text.data(), qsizetype(text.size()));
}

inline std::u16string FromQString(const QString& text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), size_t(text.size()));
}

}  // namespace kalvo
