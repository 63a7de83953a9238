#include "AEConvert.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "AEErrors.h"

std::optional<std::int32_t> TryStrToInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  bool hasSign = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    hasSign = true;
    ++i;
  }
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return std::nullopt;
  std::uint64_t magnitude = 0;
  // Only unsigned hexadecimal text is a 32-bit pattern ($FFFFFFFF is -1); with a sign it
  // is a value like decimal text, so "-$FFFFFFFF" is out of range instead of wrapping to 1.
  const std::uint64_t limit = hex && !hasSign ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (hex && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return std::nullopt;
    magnitude = magnitude * (hex ? 16 : 10) + digit;
    if (magnitude > limit) return std::nullopt;
  }
  const auto pattern = static_cast<std::uint32_t>(magnitude);
  return static_cast<std::int32_t>(negative ? 0u - pattern : pattern);
}

std::int32_t StrToInt(std::string_view text) {
  if (auto v = TryStrToInt(text)) return *v;
  throw EAEConvertError("'" + std::string(text) + "' is not a valid integer value");
}

std::optional<double> TryStrToFloat(std::string_view text, char decimalSeparator) {
  if (text.empty()) return std::nullopt;
  std::string normal;
  normal.reserve(text.size());
  std::size_t start = 0;
  if (text[0] == '+') {
    start = 1;  // from_chars takes "-" but not "+"; left behind a "+" it would pass "+-8"
    if (text.size() > 1 && (text[1] == '-' || text[1] == '+')) return std::nullopt;
  }
  for (std::size_t i = start; i < text.size(); ++i) {
    char c = text[i];
    if (c == decimalSeparator)
      c = '.';
    else if (c == '.' || c == ',' || c == ' ')
      return std::nullopt;  // another separator than the locale's is not a number here
    normal.push_back(c);
  }
  if (normal.empty()) return std::nullopt;
  double value = 0;
  const char* first = normal.data();
  const char* last = first + normal.size();
  auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec != std::errc() || ptr != last || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string FloatToStr(double value, char decimalSeparator) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  std::string s(buf);
  for (char& c : s)
    if (c == '.') c = decimalSeparator;
  return s;
}

std::string_view TrimView(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}

std::string Trim(std::string_view text) { return std::string(TrimView(text)); }

std::string LowerAscii(std::string_view text) {
  std::string s(text);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}
