#include "AEWssBroker.h"

#include <chrono>
#include <thread>

#include "AEWssTestSocket.h"

bool WaitForBrokerPorts(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (std::uint16_t port : {kWsPort, kWssPort, kWssOtherNamePort}) {
    while (!TTestSocket::CanConnect(port)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      // Polling a process we cannot wait on otherwise: it only says so by listening.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return true;
}
