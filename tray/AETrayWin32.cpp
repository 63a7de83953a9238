// The Windows tray: a thread with a hidden top-level window (a message-only window would
// miss the "TaskbarCreated" broadcast), the icon, a 2 s tooltip timer and the popup menu.
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <iterator>
#include <mutex>

#include "AEErrors.h"
#include "AETextWin32.h"
#include "AETray.h"

namespace {

constexpr wchar_t kTrayClassName[] = L"KIVUAgentTrayWindow";
constexpr UINT kTrayIconId = 1;
constexpr UINT_PTR kTipTimerId = 1;
constexpr UINT kTipPeriodMs = 2000;
constexpr UINT kWmTrayIcon = WM_APP + 1;

}  // namespace

struct TAETray::TState {
  TState(std::string title, TAETrayStatus status, TProc onExit, std::string consoleUrl)
      : Title(std::move(title)), Status(std::move(status)), OnExit(std::move(onExit)), ConsoleUrl(std::move(consoleUrl)) {}

  const std::string Title;
  const TAETrayStatus Status;
  const TProc OnExit;
  const std::string ConsoleUrl;

  std::mutex Lock;
  std::condition_variable Changed;  // Ready or Finished went true
  HWND Wnd = nullptr;               // guarded by Lock
  DWORD LastError = 0;              // guarded by Lock
  bool Ready = false;               // guarded by Lock
  bool CloseRequested = false;      // guarded by Lock
  bool Finished = false;            // guarded by Lock
  // Set when Close gave up waiting: the owner may free what the callbacks use.
  std::atomic<bool> Abandoned{false};

  // Tray thread only.
  UINT TaskbarCreated = 0;
  NOTIFYICONDATAW Nid{};
};

namespace {

using TState = TAETray::TState;

void ReportTrayError(const std::exception& e) {
  std::printf("Tray: %s\r\n", DescribeException(e).c_str());
  std::fflush(stdout);
}

HICON LoadTrayIcon() {
  if (HICON icon = LoadIconW(GetModuleHandleW(nullptr), L"MAINICON")) return icon;
  return LoadIconW(nullptr, IDI_APPLICATION);
}

void CopyTip(NOTIFYICONDATAW& nid, const std::string& text) {
  const std::wstring wide = Utf8ToWide(text);
  const std::size_t n = std::min(wide.size(), std::size(nid.szTip) - 1);
  wide.copy(nid.szTip, n);
  nid.szTip[n] = L'\0';
}

// The owner's status callback as the tray may call it now: none once Close gave up, and
// one whose failure shows as a short note instead of ending the tray thread.
TAETrayStatus LiveStatus(const TState& s) {
  if (s.Abandoned.load() || !s.Status) return {};
  return [&s] {
    try {
      return s.Status();
    } catch (const std::exception& e) {
      ReportTrayError(e);
      return std::string("status unavailable");
    }
  };
}

void UpdateTip(TState& s) {
  if (s.Abandoned.load()) return;
  CopyTip(s.Nid, TrayTipText(s.Title, LiveStatus(s)));
  s.Nid.uFlags = NIF_TIP;
  Shell_NotifyIconW(NIM_MODIFY, &s.Nid);
}

void AddIcon(TState& s, HWND wnd) {
  s.Nid = NOTIFYICONDATAW{};
  s.Nid.cbSize = sizeof(NOTIFYICONDATAW);
  s.Nid.hWnd = wnd;
  s.Nid.uID = kTrayIconId;
  s.Nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  s.Nid.uCallbackMessage = kWmTrayIcon;
  s.Nid.hIcon = LoadTrayIcon();
  CopyTip(s.Nid, CutToUtf16Units(s.Title, kTrayTipMaxChars));
  Shell_NotifyIconW(NIM_ADD, &s.Nid);
  UpdateTip(s);
}

void DeleteIcon(TState& s) {
  s.Nid.uFlags = 0;
  Shell_NotifyIconW(NIM_DELETE, &s.Nid);
}

TAEConsoleWindow ConsoleWindowState() {
  const HWND console = GetConsoleWindow();
  if (console == nullptr) return TAEConsoleWindow::None;
  return IsWindowVisible(console) ? TAEConsoleWindow::Visible : TAEConsoleWindow::Hidden;
}

class TScopedMenu {
 public:
  explicit TScopedMenu(HMENU menu) : FMenu(menu) {}
  ~TScopedMenu() {
    if (FMenu != nullptr) DestroyMenu(FMenu);
  }
  TScopedMenu(const TScopedMenu&) = delete;
  TScopedMenu& operator=(const TScopedMenu&) = delete;
  HMENU Get() const { return FMenu; }

 private:
  HMENU FMenu;
};

void ShowMenu(TState& s, HWND wnd) {
  const std::string header = TrayMenuHeader(s.Title, LiveStatus(s));
  TScopedMenu menu(CreatePopupMenu());
  if (menu.Get() == nullptr) return;
  for (const TAETrayMenuItem& item : TrayMenuItems(header, !s.ConsoleUrl.empty(), ConsoleWindowState())) {
    if (item.Separator) {
      AppendMenuW(menu.Get(), MF_SEPARATOR, 0, nullptr);
      continue;
    }
    AppendMenuW(menu.Get(), MF_STRING | (item.Grayed ? MF_GRAYED : 0), item.Command, Utf8ToWide(item.Text).c_str());
    if (item.IsDefault) SetMenuDefaultItem(menu.Get(), item.Command, FALSE);
  }
  POINT cursor{};
  GetCursorPos(&cursor);
  // The foreground switch and the WM_NULL afterwards make the menu close when the user
  // clicks elsewhere, a long-standing quirk of menus owned by a hidden window.
  SetForegroundWindow(wnd);
  TrackPopupMenu(menu.Get(), TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, wnd, nullptr);
  PostMessageW(wnd, WM_NULL, 0, 0);
}

std::wstring DefaultBrowserPath() {
  wchar_t path[261] = {};
  DWORD size = static_cast<DWORD>(std::size(path));
  if (AssocQueryStringW(0, ASSOCSTR_EXECUTABLE, L"https", L"open", path, &size) != S_OK) return {};
  return path;
}

void OpenConsoleUrl(const TState& s) {
  // The link comes from the configuration file; the shell would also run a program
  // named there, so only a web link is handed to it.
  if (!IsWebLink(s.ConsoleUrl)) return;
  const std::wstring link = Utf8ToWide(s.ConsoleUrl);
  if (IsRetiredBrowserPath(WideToUtf8(DefaultBrowserPath()))) {
    const std::wstring quoted = L"\"" + link + L"\"";
    const auto started = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", L"msedge.exe", quoted.c_str(), nullptr, SW_SHOWNORMAL));
    if (started > 32) return;
  }
  ShellExecuteW(nullptr, L"open", link.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void ToggleConsole() {
  const HWND console = GetConsoleWindow();
  if (console == nullptr) return;
  if (IsWindowVisible(console)) {
    ShowWindow(console, SW_HIDE);
  } else {
    ShowWindow(console, SW_SHOW);
    SetForegroundWindow(console);
  }
}

void RunCommand(TState& s, unsigned command) {
  switch (command) {
    case kTrayCmdExit:
      if (s.OnExit && !s.Abandoned.load()) s.OnExit();
      break;
    case kTrayCmdConsole:
      ToggleConsole();
      break;
    case kTrayCmdWebConsole:
      OpenConsoleUrl(s);
      break;
    default:
      break;
  }
}

LRESULT HandleTrayMessage(TState& s, HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (s.TaskbarCreated != 0 && msg == s.TaskbarCreated) {
    AddIcon(s, wnd);  // the shell restarted and forgot our icon
    return 0;
  }
  switch (msg) {
    case WM_COMMAND:
      RunCommand(s, LOWORD(wParam));
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
      DestroyWindow(wnd);
      return 0;
    case WM_TIMER:
      UpdateTip(s);
      return 0;
    case kWmTrayIcon:
      if (TrayNotificationOpensMenu(static_cast<std::uint32_t>(lParam))) ShowMenu(s, wnd);
      return 0;
    default:
      return DefWindowProcW(wnd, msg, wParam, lParam);
  }
}

LRESULT CALLBACK TrayWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* s = reinterpret_cast<TState*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  if (s == nullptr) return DefWindowProcW(wnd, msg, wParam, lParam);  // still being created
  // An exception must not unwind through the system's dispatch code.
  try {
    return HandleTrayMessage(*s, wnd, msg, wParam, lParam);
  } catch (const std::exception& e) {
    ReportTrayError(e);
    return 0;
  }
}

// Registers the class, creates the window, the icon and the timer. Returns 0 and the
// system error when the window cannot be created (no desktop, no display).
HWND CreateTrayWindow(TState& s, DWORD& error) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW wc{};
  wc.lpfnWndProc = TrayWndProc;
  wc.hInstance = instance;
  wc.lpszClassName = kTrayClassName;
  RegisterClassW(&wc);  // fails harmlessly when a previous tray registered it
  const HWND wnd = CreateWindowExW(0, kTrayClassName, Utf8ToWide(s.Title).c_str(), 0, 0, 0, 0, 0, nullptr, nullptr,
                                   instance, nullptr);
  if (wnd == nullptr) {
    error = GetLastError();
    if (error == 0) error = ERROR_CANNOT_MAKE;  // a failure must not read as "not ready yet"
    return nullptr;
  }
  SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&s));
  s.TaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
  AddIcon(s, wnd);
  SetTimer(wnd, kTipTimerId, kTipPeriodMs, nullptr);
  return wnd;
}

void RunMessageLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void TrayThread(const std::shared_ptr<TState>& state) {
  TState& s = *state;
  HWND wnd = nullptr;
  DWORD error = 0;
  try {
    wnd = CreateTrayWindow(s, error);
  } catch (const std::exception& e) {
    ReportTrayError(e);  // the window, if any, still gets cleaned up below
  }
  bool closeRequested = false;
  {
    // Publishing the window and reading the close flag under one lock closes the gap in
    // which Close could find no window to post to while we are about to enter the loop.
    std::lock_guard lock(s.Lock);
    s.Wnd = wnd;
    s.LastError = wnd == nullptr ? error : 0;
    s.Ready = true;
    closeRequested = s.CloseRequested;
  }
  s.Changed.notify_all();
  if (wnd != nullptr) {
    try {
      if (!closeRequested) RunMessageLoop();
    } catch (const std::exception& e) {
      ReportTrayError(e);
    }
    DeleteIcon(s);
    if (IsWindow(wnd)) DestroyWindow(wnd);
  }
  {
    std::lock_guard lock(s.Lock);
    s.Wnd = nullptr;
    s.Finished = true;
  }
  s.Changed.notify_all();
}

}  // namespace

TAETray::TAETray(std::string title, TAETrayStatus status, TProc onExit, std::string consoleUrl,
                 std::chrono::milliseconds readyWait)
    : FState(std::make_shared<TState>(std::move(title), std::move(status), std::move(onExit), std::move(consoleUrl))) {
  FThread = std::thread(TrayThread, FState);
  std::unique_lock lock(FState->Lock);
  FState->Changed.wait_for(lock, readyWait, [&] { return FState->Ready; });
}

TAETray::~TAETray() { Close(); }

std::uintptr_t TAETray::Wnd() const {
  std::lock_guard lock(FState->Lock);
  return reinterpret_cast<std::uintptr_t>(FState->Wnd);
}

std::uint32_t TAETray::LastError() const {
  std::lock_guard lock(FState->Lock);
  return FState->LastError;
}

bool TAETray::Close(std::chrono::milliseconds closeWait) {
  if (!FThread.joinable()) {  // closed before: joined, or left to end on its own
    std::lock_guard lock(FState->Lock);
    return FState->Finished;
  }
  HWND wnd = nullptr;
  {
    std::lock_guard lock(FState->Lock);
    FState->CloseRequested = true;
    wnd = FState->Wnd;
  }
  if (wnd != nullptr) PostMessageW(wnd, WM_CLOSE, 0, 0);
  bool finished = false;
  {
    std::unique_lock lock(FState->Lock);
    finished = FState->Changed.wait_for(lock, closeWait, [&] { return FState->Finished; });
  }
  if (finished) {
    FThread.join();
    return true;
  }
  // The thread keeps its own reference to the state, so it may outlive us safely; it
  // calls no callback from now on, since their targets may be freed after we return.
  FState->Abandoned.store(true);
  FThread.detach();
  return false;
}
