// The user's locale, as the console lines and the INI file use it.
#pragma once

#include <string>
#include <string_view>

// Decimal separator of the user's locale ('.' or ',' in practice).
char LocaleDecimalSeparator();

// Time separator of the user's locale (':' in practice).
char LocaleTimeSeparator();

// Text in the system's ANSI code page to UTF-8 and back (identity on POSIX, where
// text is UTF-8 already).
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
