#include <windows.h>

#include <stdexcept>

#include "AETestProcess.h"

namespace {

std::wstring Wide(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

}  // namespace

struct TTestProcess::TImpl {
  HANDLE Process = nullptr;
  std::optional<int> Exit;
};

TTestProcess::TTestProcess(const TOptions& o) : FImpl(std::make_unique<TImpl>()) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = INVALID_HANDLE_VALUE;
  if (!o.NoStdout)
    out = CreateFileW(Wide(o.StdoutPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nullptr;
  si.hStdOutput = out == INVALID_HANDLE_VALUE ? nullptr : out;
  si.hStdError = nullptr;
  std::wstring cmd = L"\"" + Wide(o.Exe) + L"\"";
  for (const auto& a : o.Args) cmd += L" \"" + Wide(a) + L"\"";
  PROCESS_INFORMATION pi{};
  const BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                 &si, &pi);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (!ok) throw std::runtime_error("CreateProcess " + o.Exe + " failed");
  CloseHandle(pi.hThread);
  FImpl->Process = pi.hProcess;
}

TTestProcess::~TTestProcess() {
  if (!FImpl->Exit) {
    TerminateProcess(FImpl->Process, 99);
    WaitForSingleObject(FImpl->Process, 10000);
  }
  CloseHandle(FImpl->Process);
}

std::optional<int> TTestProcess::Wait(int timeoutMs) {
  if (FImpl->Exit) return FImpl->Exit;
  if (WaitForSingleObject(FImpl->Process, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(FImpl->Process, &code);
  FImpl->Exit = static_cast<int>(code);
  return FImpl->Exit;
}

void TTestProcess::RequestStop() {}

std::string VelkarnExePath() {
  std::string p = VELKARN_EXE;
  if (!p.empty() && p[0] == '/') {  // a Linux path from the cross build: Wine's Z: drive
    for (char& c : p)
      if (c == '/') c = '\\';
    p = "Z:" + p;
  }
  return p;
}
