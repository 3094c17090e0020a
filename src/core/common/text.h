#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kalvo {

std::string Utf16ToUtf8(std::u16string_view text);
// Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// Latin-1 widening, for the 8-bit strings of the driver.
std::u16string WidenAnsi(std::string_view text);

// Fixed-size UTF-16 field: at most n-1 units of text, the rest NUL.
std::vector<char16_t> ToFixedField(std::u16string_view text, size_t n);
// Text of a fixed field up to its first NUL (or all n units when none).
std::u16string FromFixedField(const char16_t* field, size_t n);

// printf of exactly one number with a decimal comma, independent of installed locales; at most
// 127 units. The format is UTF-16 and may hold other text around its one conversion.
std::u16string FormatRus(std::u16string_view format, double value);
std::u16string FormatRus(std::u16string_view format, int value);

// "dd.mm.yyyy hh:mm:ss" of a time in local time.
std::u16string FormatTimeC(int64_t seconds);

// Windows-1251 bytes; characters outside the code page become '?'.
std::string EncodeCp1251(std::u16string_view text);
std::u16string DecodeCp1251(std::string_view bytes);

// A decimal number with ',' or '.' as separator, optional sign, surrounding blanks allowed.
// False for empty, partial or out-of-range text.
bool ParseDecimal(std::u16string_view text, double* value);
// A whole decimal number (optional sign, blanks around). False when not all of it is a number.
bool ParseInteger(std::u16string_view text, int64_t* value);

std::u16string ToU16(int64_t value);
// Lower-case hex without leading zeros ("0" for 0).
std::u16string ToHex(uint64_t value);

}  // namespace kalvo
