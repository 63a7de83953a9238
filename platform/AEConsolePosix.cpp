#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "AEConsole.h"
#include "AEPosixPrivate.h"

namespace {

// Written once at start-up (before any thread), read by every writer.
std::atomic<int> gOutFd{STDOUT_FILENO};
std::atomic<bool>* gStopFlag = nullptr;

void OnStopSignal(int) {
  // Only a lock-free atomic store: the one thing a signal handler may do here.
  if (gStopFlag != nullptr) gStopFlag->store(true, std::memory_order_relaxed);
}

}  // namespace

bool StandardOutputUsable() {
  // A write to a closed pipe must end in an error, not kill the program.
  ::signal(SIGPIPE, SIG_IGN);
  return ::fcntl(STDOUT_FILENO, F_GETFD) != -1;
}

void RedirectConsoleToFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) ThrowFileError("Cannot open log file", path, errno);
  gOutFd.store(fd);
}

void ConsoleWriteLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text).append("\r\n");
  // A console that cannot be written to has nobody to tell.
  [[maybe_unused]] const int err = WriteAll(gOutFd.load(), line);
}

void InstallConsoleStopHandler(std::atomic<bool>* flag) {
  gStopFlag = flag;
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

bool HideConsoleWindow() { return false; }

void ShowInfoMessage(const std::string&, const std::string&) {}

TAETimeOfDay LocalTimeOfDay() {
  const time_t now = ::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
  return {local.tm_hour, local.tm_min, local.tm_sec};
}
