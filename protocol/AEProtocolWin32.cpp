// Clock and path delimiter of the Windows build.
#include <windows.h>

#include "AEProtocol.h"

std::int64_t NowFileTime() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

char PathDelimiter() { return '\\'; }
