// UTF-8 <-> UTF-16 for the Win32 backends only (never included by portable code).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

// "<step> "<path>": <system message>" with GetLastError's text.
std::string Win32ErrorText(DWORD code);
