#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "AEWssBroker.h"
#include "common/AEMosquitto.h"

// wine-broker.sh has started the broker in the namespace this process runs in, put its
// CA into the CurrentUser Root store and said where the broker lives; stopping and
// starting it again go through the Unix shell, which Wine runs for us.
namespace {
std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

// Runs body with /bin/sh in the broker's folder and waits (20 s at most) for its end,
// which the script reports through a file: Wine cannot wait on a Unix process.
bool RunBrokerShell(const std::string& unixDir, const std::string& body) {
  static int count = 0;
  const std::string unixScript = unixDir + "/control" + std::to_string(++count) + ".sh";
  const std::string done = LocalPathOfUnix(unixScript + ".done");
  std::ofstream(LocalPathOfUnix(unixScript), std::ios::binary)
      << "cd '" << unixDir << "' || exit 1\n" << body << "\ntouch '" << unixScript << ".done'\n";
  StartUnixShell(unixScript);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(done)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // another process: nothing to wait on
  }
  return true;
}
}  // namespace

TAETestBroker::TAETestBroker(const std::string&, const std::string&) : FDir(Env("VELKARN_WSS_BROKER_DIR")) {
  if (FDir.empty() || !WaitForBrokerPorts(30000))
    FError = "broker not listening: run this test through tests/wss/wine-broker.sh";
}

TAETestBroker::~TAETestBroker() {
  if (FFrozen) Thaw();
  if (!WaitForBrokerPorts(0)) Start();  // the next test finds the broker it expects
}

bool TAETestBroker::Stop() {
  if (FFrozen) Thaw();
  return RunBrokerShell(FDir, "kill $(cat mosquitto.pid)") && WaitForBrokerPortsClosed(10000);
}

bool TAETestBroker::Start() {
  return RunBrokerShell(FDir, "nohup sh '" + Env("VELKARN_WSS_BROKER_SCRIPT") + "' '" + FDir +
                                  "' >/dev/null 2>&1 </dev/null &") &&
         WaitForBrokerPorts(30000);
}

void TAETestBroker::Freeze() { FFrozen = RunBrokerShell(FDir, "kill -STOP $(cat mosquitto.pid)"); }

void TAETestBroker::Thaw() {
  RunBrokerShell(FDir, "kill -CONT $(cat mosquitto.pid)");
  FFrozen = false;
}

std::chrono::milliseconds StopLimit(bool silentBroker) {
  return std::chrono::milliseconds(silentBroker ? 6000 : 4000);
}
