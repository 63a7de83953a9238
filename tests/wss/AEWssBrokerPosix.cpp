#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "AEWssBroker.h"

extern char** environ;

namespace {
// Before anything else runs: a network namespace of our own with only loopback, so the
// broker's listeners, which ignore their bind address, are reachable from nowhere else.
std::string EnterPrivateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  const bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags |= IFF_UP) != 0 &&
                  ioctl(s, SIOCSIFFLAGS, &req) == 0;
  const int err = errno;
  if (s >= 0) close(s);
  return up ? "" : std::string("bringing lo up: ") + std::strerror(err);
}

const std::string kNetworkError = EnterPrivateNetwork();

std::string ReadLog(const std::string& dir) {
  std::ifstream in(dir + "/mosquitto.log");
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

TAETestBroker::TAETestBroker(const std::string& dir, const std::string& extraConfig) : FDir(dir) {
  if (!kNetworkError.empty()) {
    FError = "no private network namespace (" + kNetworkError + "); the broker is not started";
    return;
  }
  if (!extraConfig.empty()) std::ofstream(FDir + "/extra.conf") << extraConfig << "\n";
  if (!Start()) FError = FPid <= 0 ? "cannot start broker.sh" : "broker not listening; its log:\n" + ReadLog(FDir);
}

TAETestBroker::~TAETestBroker() { Stop(); }

bool TAETestBroker::Start() {
  if (FPid > 0) return true;
  const char* script = VELKARN_WSS_BROKER_SCRIPT;
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>(script), const_cast<char*>(FDir.c_str()), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return false;
  FPid = pid;  // broker.sh becomes mosquitto, so this is the broker's own pid
  return WaitForBrokerPorts(30000);
}

bool TAETestBroker::Stop() {
  if (FPid <= 0) return true;
  if (FFrozen) Thaw();
  kill(static_cast<pid_t>(FPid), SIGTERM);
  int status = 0;
  waitpid(static_cast<pid_t>(FPid), &status, 0);
  FPid = -1;
  return WaitForBrokerPortsClosed(10000);
}

void TAETestBroker::Freeze() {
  if (FPid > 0 && kill(static_cast<pid_t>(FPid), SIGSTOP) == 0) FFrozen = true;
}

void TAETestBroker::Thaw() {
  if (FPid > 0) kill(static_cast<pid_t>(FPid), SIGCONT);
  FFrozen = false;
}

std::chrono::milliseconds StopLimit(bool silentBroker) {
  // A live broker still costs the client up to 1 s waiting for the close after its
  // DISCONNECT; the limits catch a hang, not a slow machine.
  return std::chrono::milliseconds(silentBroker ? 4000 : 3000);
}
