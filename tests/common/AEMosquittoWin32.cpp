#include <windows.h>

#include <stdexcept>

#include "AEMosquitto.h"

// Under Wine, CreateProcess runs a Unix executable given by its drive-Z path; its
// handle cannot be waited on, so the script reports its end through a file.
void StartUnixShell(const std::string& unixScriptPath) {
  std::wstring cmd = L"Z:\\bin\\sh " + std::wstring(unixScriptPath.begin(), unixScriptPath.end());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    throw std::runtime_error("cannot start the Unix shell (error " + std::to_string(GetLastError()) + ")");
  if (pi.hThread != nullptr) CloseHandle(pi.hThread);
  if (pi.hProcess != nullptr) CloseHandle(pi.hProcess);
}

std::string LocalPathOfUnix(const std::string& unixPath) {
  std::string p = "Z:" + unixPath;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}
