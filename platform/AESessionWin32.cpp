#include <windows.h>

#include "AESession.h"

bool IsInteractiveSession() {
  DWORD sessionId = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &sessionId) || sessionId == 0) return false;
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed)) return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

bool IsConsoleVisible() {
  const HWND console = GetConsoleWindow();
  return console != nullptr && IsWindowVisible(console);
}
