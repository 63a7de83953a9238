#include <windows.h>

#include "AEConsole.h"
#include "AELocale.h"
#include "AEWin32Private.h"

namespace {

// Set once at start-up (before any thread), read by every writer. 0 = ask GetStdHandle.
std::atomic<HANDLE> gOut{nullptr};
std::atomic<bool>* gStopFlag = nullptr;

BOOL WINAPI ConsoleCtrlHandler(DWORD) {
  if (gStopFlag != nullptr) gStopFlag->store(true, std::memory_order_relaxed);
  return TRUE;
}

}  // namespace

bool StandardOutputUsable() {
  const HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  return h != nullptr && h != INVALID_HANDLE_VALUE;
}

void RedirectConsoleToFile(const std::string& path) {
  const HANDLE h = CreateFileW(Utf8ToWide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    ThrowFileError("Cannot open log file", path, err);
  }
  gOut.store(h);  // kept open for the life of the process
}

void ConsoleWriteLine(std::string_view text) {
  std::string line = Utf8ToAnsi(text);
  line.append("\r\n");
  HANDLE h = gOut.load();
  if (h == nullptr) h = GetStdHandle(STD_OUTPUT_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  DWORD put = 0;
  WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
}

void InstallConsoleStopHandler(std::atomic<bool>* flag) {
  gStopFlag = flag;
  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
}

bool HideConsoleWindow() {
  const HWND console = GetConsoleWindow();
  if (console == nullptr) return false;
  ShowWindow(console, SW_HIDE);
  return true;
}

void ShowInfoMessage(const std::string& text, const std::string& caption) {
  MessageBoxW(nullptr, Utf8ToWide(text).c_str(), Utf8ToWide(caption).c_str(),
              MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
}

TAETimeOfDay LocalTimeOfDay() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return {t.wHour, t.wMinute, t.wSecond};
}
