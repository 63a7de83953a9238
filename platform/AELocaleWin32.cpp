#include <windows.h>

#include "AELocale.h"
#include "AETextWin32.h"

namespace {

char LocaleChar(LCTYPE type, char fallback) {
  wchar_t buf[8] = {};
  if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, buf, 8) >= 2 && buf[0] < 128 && buf[1] == 0)
    return static_cast<char>(buf[0]);
  return fallback;
}

std::string Convert(std::string_view text, UINT from, UINT to) {
  if (text.empty()) return {};
  const int wn = MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(wn), L'\0');
  MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), w.data(), wn);
  const int n = WideCharToMultiByte(to, 0, w.data(), wn, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(to, 0, w.data(), wn, s.data(), n, nullptr, nullptr);
  return s;
}

}  // namespace

char LocaleDecimalSeparator() { return LocaleChar(LOCALE_SDECIMAL, '.'); }
char LocaleTimeSeparator() { return LocaleChar(LOCALE_STIME, ':'); }

std::string AnsiToUtf8(std::string_view ansi) { return Convert(ansi, CP_ACP, CP_UTF8); }
std::string Utf8ToAnsi(std::string_view utf8) { return Convert(utf8, CP_UTF8, CP_ACP); }
