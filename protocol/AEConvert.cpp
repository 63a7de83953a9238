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
  for (char& c : s) c = LowerAsciiChar(c);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // No lower-cased copies: the INI reader compares names with it on every lookup.
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAsciiChar(a[i]) != LowerAsciiChar(b[i])) return false;
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

void AppendUtf8(std::string& out, char32_t codePoint) {
  const auto put = [&out](char32_t bits) { out.push_back(static_cast<char>(bits)); };
  if (codePoint < 0x80) {
    put(codePoint);
  } else if (codePoint < 0x800) {
    put(0xC0 | (codePoint >> 6));
    put(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    put(0xE0 | (codePoint >> 12));
    put(0x80 | ((codePoint >> 6) & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  } else {
    put(0xF0 | (codePoint >> 18));
    put(0x80 | ((codePoint >> 12) & 0x3F));
    put(0x80 | ((codePoint >> 6) & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  }
}

bool IsWellFormedUtf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The second byte's range rules out overlong forms, surrogates and values above U+10FFFF.
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (bytes.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + k]);
      if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

std::string Windows1252ToUtf8(std::string_view bytes) {
  // 0x80..0x9F; the rest of the code page is Latin-1, byte value = code point.
  static constexpr char16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    AppendUtf8(out, b >= 0x80 && b <= 0x9F ? kHigh[b - 0x80] : b);
  }
  return out;
}
