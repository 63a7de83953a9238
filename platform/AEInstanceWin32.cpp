#include <windows.h>

#include "AEInstance.h"
#include "AETextWin32.h"

TAEInstanceLock AcquireInstanceLock(const std::string& name) {
  // The handle is never closed: the mutex lives exactly as long as the process.
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, Utf8ToWide("Global\\" + name).c_str());
  const DWORD err = GetLastError();
  if (mutex != nullptr && err == ERROR_ALREADY_EXISTS) return TAEInstanceLock::HeldElsewhere;
  if (mutex == nullptr && err == ERROR_ACCESS_DENIED) return TAEInstanceLock::HeldElsewhere;
  return mutex != nullptr ? TAEInstanceLock::Acquired : TAEInstanceLock::Unavailable;
}
