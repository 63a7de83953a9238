// Pokes a running tray from another process, as the shell and a user would:
//   tray_test_driver find              wait up to 10 s for the tray window, print its title
//   tray_test_driver command N         post WM_COMMAND N (a menu choice)
//   tray_test_driver notify MSG        send the icon's mouse notification MSG (decimal) and
//                                      print "menu" when it opened the menu (the tray then
//                                      sits in the menu's modal loop; the menu is dismissed)
//                                      or "no menu" when the tray answered at once
//   tray_test_driver close             post WM_CLOSE
//   tray_test_driver drop-icon         delete the icon the way a dying shell loses it
//   tray_test_driver taskbar-created   broadcast "TaskbarCreated" to the tray window
//   tray_test_driver visible HWND      print "visible" or "hidden" for a window (hex)
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

HWND FindVisibleMenu();

HWND WaitForVisibleMenu() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    if (HWND menu = FindVisibleMenu()) return menu;
    if (std::chrono::steady_clock::now() >= deadline) return nullptr;
    Sleep(100);
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

int Notify(HWND wnd, LPARAM mouseMessage) {
  DWORD_PTR result = 0;
  if (SendMessageTimeoutW(wnd, WM_APP + 1, 1, mouseMessage, SMTO_NORMAL, 1500, &result) != 0) {
    std::printf("no menu\n");
    return 0;
  }
  HWND menu = WaitForVisibleMenu();
  if (menu == nullptr) {
    std::printf("no answer and no menu\n");
    return 1;
  }
  std::printf("menu\n");
  return Post(menu, WM_KEYDOWN, VK_ESCAPE, 0);
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
