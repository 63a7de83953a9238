// A stand-in owner for the tray under Wine: creates a TAETray with a counting status
// callback and an exit procedure, then runs like the program's main loop (1 s ticks until
// the exit procedure is called or the run time ends) and frees the tray. It reports each
// step on standard output for tests/tray/tray-wine-test.sh.
//
//   tray_test_host [--run-s N] [--url LINK] [--console] [--status-throws]
//                  [--stuck] [--early-close N]
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include "AETray.h"

namespace {

std::mutex GOutLock;

template <typename... TArgs>
void Say(const char* format, TArgs... args) {
  std::lock_guard lock(GOutLock);
  std::printf(format, args...);
  std::printf("\r\n");
  std::fflush(stdout);
}

struct TOptions {
  int RunSeconds = 60;
  std::string Url;
  bool Console = false;
  bool Stuck = false;
  bool StatusThrows = false;
  int EarlyCloses = 0;
};

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--run-s" && hasValue) o.RunSeconds = std::atoi(argv[++i]);
    else if (arg == "--url" && hasValue) o.Url = argv[++i];
    else if (arg == "--console") o.Console = true;
    else if (arg == "--stuck") o.Stuck = true;
    else if (arg == "--status-throws") o.StatusThrows = true;
    else if (arg == "--early-close" && hasValue) o.EarlyCloses = std::atoi(argv[++i]);
  }
  return o;
}

// Frees trays right after starting them, before their window can be relied on: every
// Close must end its thread in time, whichever side of the window's creation it hits.
int RunEarlyCloses(int count) {
  int endedInTime = 0;
  for (int i = 0; i < count; ++i) {
    TAETray tray("KIVU Velkarn early", TAETrayStatus(), TProc(), "", std::chrono::milliseconds(0));
    if (tray.Close()) ++endedInTime;
  }
  Say("early close: %d of %d ended in time", endedInTime, count);
  return endedInTime == count ? 0 : 1;
}

// A status callback that never returns on its own: the tray cannot become ready, and
// Close must still come back.
int RunStuck() {
  std::mutex lock;
  std::condition_variable released;
  bool release = false;
  std::atomic<int> calls{0};
  auto status = [&] {
    ++calls;
    std::unique_lock l(lock);
    released.wait(l, [&] { return release; });
    return std::string("hits 0, errors 0");
  };
  {
    TAETray tray("KIVU Velkarn stuck", status, TProc(), "", std::chrono::milliseconds(1000));
    Say("stuck: ready wnd %d error %u", tray.Wnd() != 0 ? 1 : 0, static_cast<unsigned>(tray.LastError()));
    const bool ended = tray.Close(std::chrono::milliseconds(2000));
    Say("stuck: close %s", ended ? "ended in time" : "gave up waiting");
  }
  {
    std::lock_guard l(lock);
    release = true;
  }
  released.notify_all();
  Say("stuck: status calls %d", calls.load());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const TOptions options = ParseOptions(argc, argv);
  if (options.EarlyCloses > 0) return RunEarlyCloses(options.EarlyCloses);
  if (options.Stuck) return RunStuck();
  if (options.Console && GetConsoleWindow() == nullptr) {
    FreeConsole();
    AllocConsole();
  }
  Say("console window 0x%llx", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(GetConsoleWindow())));

  std::mutex lock;
  std::condition_variable changed;
  bool exitRequested = false;  // guarded by lock
  std::atomic<int> statusCalls{0};
  auto status = [&] {
    const int call = ++statusCalls;
    Say("status call %d", call);
    if (options.StatusThrows) throw std::runtime_error("statistics unreadable");
    return "hits " + std::to_string(call) + ", errors 0";
  };
  auto onExit = [&] {
    Say("exit procedure called");
    {
      std::lock_guard l(lock);
      exitRequested = true;
    }
    changed.notify_all();
  };

  TAETray tray("KIVU Velkarn 42 - Test Host", status, onExit, options.Url);
  if (tray.Wnd() == 0)
    Say("Tray icon could not be created (error %u)", static_cast<unsigned>(tray.LastError()));
  else
    Say("tray window 0x%llx", static_cast<unsigned long long>(tray.Wnd()));

  bool trayEnded = false;
  for (int tick = 0; tick < options.RunSeconds; ++tick) {
    std::unique_lock l(lock);
    if (changed.wait_for(l, std::chrono::seconds(1), [&] { return exitRequested; })) break;
    l.unlock();
    if (!trayEnded && tray.Wnd() == 0 && tray.LastError() == 0 && statusCalls.load() > 0) {
      trayEnded = true;  // the window was closed from outside
      Say("tray ended on its own");
    }
  }
  Say("status calls %d", statusCalls.load());
  Say("Stopping...");
  const bool ended = tray.Close();
  Say("tray closed %s", ended ? "in time" : "late");
  return ended ? 0 : 1;
}
