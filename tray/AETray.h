// The notification-area (tray) icon: a thread of its own with a hidden window and a
// message loop, an icon whose tooltip shows a live status, and a popup menu that shows or
// hides the console, opens the web console and asks the owner to stop.
//
// Only Windows has a tray; elsewhere a TAETray reports at once that it has no window.
// The text and menu rules below are portable so that both builds test them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The status text for the tooltip and the menu header. Called on the tray thread; must
// return promptly. May be empty (no status shown).
using TAETrayStatus = std::function<std::string()>;
// The menu's Exit command. Called on the tray thread; should only ask the owner to stop
// (the tray stays until its owner frees it). May be empty.
using TProc = std::function<void()>;

// The shell's tooltip holds 127 UTF-16 units plus the terminating null.
inline constexpr std::size_t kTrayTipMaxChars = 127;
inline constexpr std::chrono::milliseconds kTrayReadyWait{5000};
// How long Close waits for the tray thread; see TAETray::Close.
inline constexpr std::chrono::milliseconds kTrayCloseWait{5000};

// Menu command numbers, also what a WM_COMMAND to the tray window carries.
enum : unsigned {
  kTrayCmdHeader = 0,      // the disabled status header, never sent
  kTrayCmdExit = 1,
  kTrayCmdConsole = 2,     // show or hide the local console window
  kTrayCmdWebConsole = 3,  // open the web-console link
};

// The longest prefix of a UTF-8 text that takes at most maxUnits UTF-16 units. A code
// point is never split (a cut inside a surrogate pair would leave a broken character on
// screen); an invalid byte counts as one unit, as the UTF-16 conversion turns it into one.
std::string CutToUtf16Units(std::string_view utf8, std::size_t maxUnits);

// Tooltip: the title, then CR LF and the status text when there is a status callback,
// cut to kTrayTipMaxChars. Calls status once.
std::string TrayTipText(const std::string& title, const TAETrayStatus& status);

// Menu header: "title: status" with a status callback, else the title alone. Calls status once.
std::string TrayMenuHeader(const std::string& title, const TAETrayStatus& status);

enum class TAEConsoleWindow { None, Hidden, Visible };

struct TAETrayMenuItem {
  unsigned Command = 0;
  std::string Text;     // empty for a separator
  bool Separator = false;
  bool Grayed = false;
  bool IsDefault = false;
  bool operator==(const TAETrayMenuItem&) const = default;
};

// The popup menu from top to bottom: the greyed header, a separator, "Remote Tolvane"
// (the default item) only with a web-console link, the console entry only when the
// process has a console window, and "Exit".
std::vector<TAETrayMenuItem> TrayMenuItems(const std::string& header, bool hasConsoleUrl,
                                           TAEConsoleWindow console);

// Which mouse notifications of the icon open the menu: the context-menu key and the
// release of either button; presses, double clicks and moves do not.
bool TrayNotificationOpensMenu(std::uint32_t notification);

// True when the file name of a browser path is "iexplore.exe" (without regard to case):
// that browser cannot show the web console, so the link goes to its successor instead.
bool IsRetiredBrowserPath(std::string_view executablePath);

// True for a link the web-console entry may hand to the shell: "https://" or "http://"
// (without regard to case) and something after it. The shell would run a program named
// by anything else.
bool IsWebLink(std::string_view link);

// One tray icon. Thread-safety: create, read, Close and destroy on one thread (the owner),
// never from inside a callback; the callbacks run on the tray thread. Once Close has
// returned true no callback runs any more.
class TAETray {
 public:
  // Starts the tray thread and waits up to readyWait until its window exists or its
  // creation failed. Wnd() == 0 afterwards means no icon: LastError() gives the system
  // error when creation failed, 0 when the thread was merely not ready in time (the icon
  // may then still come up later). Never throws for a missing tray.
  TAETray(std::string title, TAETrayStatus status, TProc onExit, std::string consoleUrl,
          std::chrono::milliseconds readyWait = kTrayReadyWait);
  // Close().
  ~TAETray();
  TAETray(const TAETray&) = delete;
  TAETray& operator=(const TAETray&) = delete;

  // The tray window's handle as a number; 0 before it exists, after a failed creation
  // and after the tray thread ended.
  std::uintptr_t Wnd() const;
  // The system error code of a failed window creation; 0 otherwise.
  std::uint32_t LastError() const;

  // Closes the window, deletes the icon and ends the tray thread. A close asked for
  // before the window exists still ends the thread before its message loop. Waits at most
  // closeWait; a thread still busy then (stuck in a callback or in the shell) is left to
  // end on its own and calls no callback any more. Returns true when the thread ended in
  // time. Calling it again is harmless.
  bool Close(std::chrono::milliseconds closeWait = kTrayCloseWait);

  struct TState;  // per backend; shared with the tray thread

 private:
  std::shared_ptr<TState> FState;
  std::thread FThread;
};
