// The user's locale, as the console lines and the INI file use it.
#pragma once

#include <string>
#include <string_view>

// Decimal separator of the user's locale ('.' or ',' in practice).
char LocaleDecimalSeparator();

// Time separator of the user's locale (':' in practice).
char LocaleTimeSeparator();

// Text in the system's ANSI code page to UTF-8 and back. POSIX has none: text that is
// well-formed UTF-8 stays as it is, any other is read as Windows-1252; UTF-8 is written
// unchanged.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
