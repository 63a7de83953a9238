// Text-to-number conversions shared by every caller: INI keys, FailChannels pieces,
// command-line arguments, numbers in names and URLs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Signed 32-bit integer: optional leading blanks, optional "+" or "-", then decimal
// digits, or hexadecimal digits after "$", "x", "X", "0x" or "0X". Decimal text, and
// hexadecimal text with a sign, must lie in the signed 32-bit range ("-$80000000" is the
// lowest value, "-$80000001" and "+$80000000" fail); unsigned hexadecimal text may use all
// 32 bits as a pattern ($FFFFFFFF is -1). Anything else (empty, trailing characters,
// overflow) gives nullopt.
std::optional<std::int32_t> TryStrToInt(std::string_view text);

// As TryStrToInt, but raises EAEConvertError "'<text>' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);

// A real with the given decimal separator and at most one sign (an exponent is allowed,
// surrounding blanks are not part of a number). nullopt when the text does not convert.
std::optional<double> TryStrToFloat(std::string_view text, char decimalSeparator);

// Shortest general form with up to 15 significant digits: 5 -> "5", 0.15 -> "0.15".
std::string FloatToStr(double value, char decimalSeparator);

// Trim blanks and control characters (code <= 32) at both ends.
std::string_view TrimView(std::string_view text);
std::string Trim(std::string_view text);

// Case is folded in ASCII only: other bytes, UTF-8 letters among them, compare exactly.
inline char LowerAsciiChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
std::string LowerAscii(std::string_view text);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Appends the UTF-8 form of one code point.
void AppendUtf8(std::string& out, char32_t codePoint);

// True when the bytes are UTF-8 without overlong forms, surrogates, code points above
// U+10FFFF or a sequence cut short.
bool IsWellFormedUtf8(std::string_view bytes);

// Windows-1252 text to UTF-8. The five bytes the code page leaves undefined (81, 8D,
// 8F, 90, 9D) become U+0081 and so on, as Windows' own conversion gives them.
std::string Windows1252ToUtf8(std::string_view bytes);
