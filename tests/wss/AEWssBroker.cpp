#include "AEWssBroker.h"

#include <chrono>
#include <thread>

#include "AEWssTestSocket.h"

namespace {
constexpr std::uint16_t kAllPorts[] = {kTcpPort, kWsPort, kWssPort, kWssOtherNamePort};

template <class P>
bool PollPorts(int timeoutMs, P ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (std::uint16_t port : kAllPorts) {
    while (!ready(port)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      // Polling a process we cannot wait on otherwise: it only says so by listening.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return true;
}
}  // namespace

bool WaitForBrokerPorts(int timeoutMs) {
  return PollPorts(timeoutMs, [](std::uint16_t port) { return TTestSocket::CanConnect(port); });
}

bool WaitForBrokerPortsClosed(int timeoutMs) {
  return PollPorts(timeoutMs, [](std::uint16_t port) { return !TTestSocket::CanConnect(port); });
}
