#include <langinfo.h>
#include <locale.h>

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

std::string AnsiToUtf8(std::string_view ansi) { return std::string(ansi); }
std::string Utf8ToAnsi(std::string_view utf8) { return std::string(utf8); }
