#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "AEConsole.h"
#include "AEErrors.h"

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
  if (fd < 0) throw EAEFileError("Cannot open log file \"" + path + "\": " + std::strerror(errno), errno);
  gOutFd.store(fd);
}

void ConsoleWriteLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text).append("\r\n");
  const int fd = gOutFd.load();
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
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
