// Pokes a running tray from another process, as the shell and a user would:
//   tray_test_driver find              wait up to 10 s for the tray window, print its title
//   tray_test_driver command N         post WM_COMMAND N (a menu choice)
//   tray_test_driver notify MSG        send the icon's mouse notification MSG (decimal) and
//                                      print "menu" when it opened the menu (the tray then
//                                      sits in the menu's modal loop; the menu is dismissed)
//                                      or "no menu" when the tray answered without one
//   tray_test_driver close             post WM_CLOSE
//   tray_test_driver drop-icon         delete the icon the way a dying shell loses it
//   tray_test_driver taskbar-created   broadcast "TaskbarCreated" to the tray window
//   tray_test_driver visible HWND      print "visible" or "hidden" for a window (hex)
//   tray_test_driver titled TITLE      print "visible" or "hidden" for the top-level
//                                      window of that title, "no window" without one
//   tray_test_driver run OUT TITLE S EXE ARGS...
//                                      start EXE in a new console window titled TITLE,
//                                      once that window is on screen, standard output and
//                                      error to the file OUT, wait at most S seconds (then
//                                      end it) and print "exit code N" or "timed out"
//   tray_test_driver msgbox CAPTION    wait up to 30 s for a message box of that caption,
//                                      print its text (CR and LF as \r and \n), its
//                                      buttons, whether it shows an icon and whether it is
//                                      in front, then press its OK button
// Exit code 0 on success, 1 when the window is not there.
#include <windows.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr wchar_t kTrayClassName[] = L"KIVUAgentTrayWindow";

HWND WaitForWindow(const wchar_t* className, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (HWND wnd = FindWindowW(className, nullptr)) return wnd;
    if (std::chrono::steady_clock::now() >= deadline) return nullptr;
    Sleep(100);  // another process's window: nothing to wait on but the window list
  }
}

int Post(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!PostMessageW(wnd, msg, wParam, lParam)) {
    std::printf("post failed: %lu\n", GetLastError());
    return 1;
  }
  return 0;
}

HWND FindVisibleMenu() {
  HWND menu = nullptr;
  while ((menu = FindWindowExW(nullptr, menu, L"#32768", nullptr)) != nullptr)
    if (IsWindowVisible(menu)) return menu;
  return nullptr;
}

struct TNotification {
  HWND Wnd;
  LPARAM MouseMessage;
};

DWORD WINAPI SendNotification(void* param) {
  const auto& n = *static_cast<const TNotification*>(param);
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(n.Wnd, WM_APP + 1, 1, n.MouseMessage, SMTO_NORMAL, 60000, &result) != 0 ? 0 : 1;
}

// Decided by what the tray does, not by how soon it answers: a tray that opens its menu
// answers only once the menu is closed, one that does not answers at once, and a loaded
// machine can make either slow.
int Notify(HWND wnd, LPARAM mouseMessage) {
  TNotification notification{wnd, mouseMessage};
  const HANDLE sender = CreateThread(nullptr, 0, SendNotification, &notification, 0, nullptr);
  if (sender == nullptr) {
    std::printf("no thread: %lu\n", GetLastError());
    return 1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int result = 1;
  for (;;) {
    if (HWND menu = FindVisibleMenu()) {
      std::printf("menu\n");
      result = Post(menu, WM_KEYDOWN, VK_ESCAPE, 0);
      break;
    }
    if (WaitForSingleObject(sender, 50) == WAIT_OBJECT_0) {
      DWORD failed = 1;
      GetExitCodeThread(sender, &failed);
      std::printf(failed == 0 ? "no menu\n" : "no answer and no menu\n");
      result = failed == 0 ? 0 : 1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      std::printf("no answer and no menu\n");
      break;
    }
  }
  // The answer that follows the closed menu; bounded, as the thread holds notification.
  if (WaitForSingleObject(sender, 60000) != WAIT_OBJECT_0) TerminateThread(sender, 1);
  CloseHandle(sender);
  return result;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    if (c == L'\r') out += "\\r";
    else if (c == L'\n') out += "\\n";
    else out += c < 128 ? static_cast<char>(c) : '?';
  }
  return out;
}

std::wstring Widen(const char* text) {
  std::wstring out;
  for (; *text != 0; ++text) out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return out;
}

std::wstring WindowText(HWND wnd) {
  wchar_t text[1024] = {};
  GetWindowTextW(wnd, text, 1024);
  return text;
}

// The console is made here, and the program started in it only once its window is on
// screen, as a user's console window is before the program is typed in: a program that
// looks at its console as it starts finds it shown, whatever the window system's pace.
bool OpenVisibleConsole(const std::wstring& title) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);  // our answer goes to the script
  FreeConsole();
  const bool made = AllocConsole() != 0;
  SetStdHandle(STD_OUTPUT_HANDLE, out);
  if (!made) {
    std::printf("cannot make a console: %lu\n", GetLastError());
    return false;
  }
  SetConsoleTitleW(title.c_str());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const HWND console = GetConsoleWindow();
    if (console != nullptr && IsWindowVisible(console)) return true;
    if (std::chrono::steady_clock::now() >= deadline) {
      std::printf("the console window was not shown\n");
      return false;
    }
    Sleep(100);  // the console's own process shows it: nothing to wait on
  }
}

int RunWithOwnConsole(const char* out, const char* title, int seconds, int argc, char** argv) {
  if (!OpenVisibleConsole(Widen(title))) return 1;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE file = CreateFileW(Widen(out).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("cannot create %s: %lu\n", out, GetLastError());
    return 1;
  }
  std::wstring cmd;
  for (int i = 0; i < argc; ++i) cmd += (i == 0 ? L"\"" : L" \"") + Widen(argv[i]) + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = file;
  si.hStdError = file;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    std::printf("cannot start %s: %lu\n", argv[0], GetLastError());
    return 1;
  }
  CloseHandle(file);
  CloseHandle(pi.hThread);
  int result = 0;
  if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(seconds) * 1000) != WAIT_OBJECT_0) {
    TerminateProcess(pi.hProcess, 99);
    std::printf("timed out\n");
    result = 1;
  } else {
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    std::printf("exit code %lu\n", code);
  }
  CloseHandle(pi.hProcess);
  return result;
}

int PressMessageBox(const std::wstring& caption) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  HWND box = nullptr;
  // Found before it is shown, its controls would still read as hidden.
  while ((box = FindWindowW(L"#32770", caption.c_str())) == nullptr || !IsWindowVisible(box) ||
         GetDlgItem(box, IDOK) == nullptr) {
    if (std::chrono::steady_clock::now() >= deadline) {
      std::printf("no message box\n");
      return 1;
    }
    Sleep(100);  // another process's window: nothing to wait on but the window list
  }
  int buttons = 0;
  bool icon = false;
  HWND ok = nullptr;
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t cls[64] = {};
    GetClassNameW(child, cls, 64);
    const LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
    if (lstrcmpiW(cls, L"Button") == 0 && IsWindowVisible(child)) {
      ++buttons;
      if (GetDlgCtrlID(child) == IDOK) ok = child;
    } else if (lstrcmpiW(cls, L"Static") == 0) {
      if ((style & SS_TYPEMASK) == SS_ICON) {
        icon = icon || (IsWindowVisible(child) && SendMessageW(child, STM_GETICON, 0, 0) != 0);
      } else if (!WindowText(child).empty()) {
        std::printf("text: %s\n", Narrow(WindowText(child)).c_str());
      }
    }
  }
  std::printf("buttons: %d\nok button: %d\nicon: %d\nforeground: %d\n", buttons, ok != nullptr ? 1 : 0,
              icon ? 1 : 0, GetForegroundWindow() == box ? 1 : 0);
  std::fflush(stdout);
  if (ok == nullptr) return 1;
  return Post(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string verb = argv[1];
  if (verb == "visible" && argc > 2) {
    const auto wnd = reinterpret_cast<HWND>(std::strtoull(argv[2], nullptr, 16));
    std::printf("%s\n", IsWindowVisible(wnd) ? "visible" : "hidden");
    return 0;
  }
  if (verb == "titled" && argc > 2) {
    const HWND titled = FindWindowW(nullptr, Widen(argv[2]).c_str());
    std::printf("%s\n", titled == nullptr ? "no window" : IsWindowVisible(titled) ? "visible" : "hidden");
    return 0;
  }
  if (verb == "run" && argc > 5) return RunWithOwnConsole(argv[2], argv[3], std::atoi(argv[4]), argc - 5, argv + 5);
  if (verb == "msgbox" && argc > 2) return PressMessageBox(Widen(argv[2]));
  const HWND wnd = WaitForWindow(kTrayClassName, std::chrono::seconds(verb == "find" ? 10 : 2));
  if (wnd == nullptr) {
    std::printf("no tray window\n");
    return 1;
  }
  if (verb == "find") {
    wchar_t title[256] = {};
    GetWindowTextW(wnd, title, 256);
    std::printf("title: %ls\n", title);
    std::printf("visible: %d\n", IsWindowVisible(wnd) ? 1 : 0);
    return 0;
  }
  if (verb == "command" && argc > 2) return Post(wnd, WM_COMMAND, std::strtoul(argv[2], nullptr, 10), 0);
  if (verb == "notify" && argc > 2) return Notify(wnd, std::strtol(argv[2], nullptr, 10));
  if (verb == "close") return Post(wnd, WM_CLOSE, 0, 0);
  if (verb == "taskbar-created") return Post(wnd, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  if (verb == "drop-icon") {
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof(nid);
    nid.hWnd = wnd;
    nid.uID = 1;
    return Shell_NotifyIconW(NIM_DELETE, &nid) ? 0 : 1;
  }
  return 2;
}
