#include <langinfo.h>
#include <locale.h>

#include "AEConvert.h"
#include "AELocale.h"

namespace {

// Asks the user's locale (LC_ALL / LC_NUMERIC / LANG) without changing the process's.
char LocaleChar(int lcMask, nl_item item, char fallback) {
  locale_t loc = newlocale(lcMask, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return fallback;
  const char* s = nl_langinfo_l(item, loc);
  const char c = (s != nullptr && s[0] != '\0' && s[1] == '\0') ? s[0] : fallback;
  freelocale(loc);
  return c;
}

}  // namespace

char LocaleDecimalSeparator() { return LocaleChar(LC_NUMERIC_MASK, RADIXCHAR, '.'); }

// POSIX locales carry no single time separator; every common one uses ':'.
char LocaleTimeSeparator() { return ':'; }

// Linux has no ANSI code page: text that is not well-formed UTF-8 comes from Windows,
// in practice in code page 1252, and passing its bytes on would put invalid UTF-8 into
// client ids and topics.
std::string AnsiToUtf8(std::string_view ansi) {
  return IsWellFormedUtf8(ansi) ? std::string(ansi) : Windows1252ToUtf8(ansi);
}
std::string Utf8ToAnsi(std::string_view utf8) { return std::string(utf8); }
