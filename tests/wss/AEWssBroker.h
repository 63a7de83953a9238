// The test broker: mosquitto with WebSocket listeners, run by broker.sh in a private
// network namespace. Natively the test process enters its own namespace and starts the
// broker per test; under Wine, wine-broker.sh has done both before the tests start.
#pragma once

#include <cstdint>
#include <string>

constexpr std::uint16_t kWsPort = 9001;             // plain
constexpr std::uint16_t kWssPort = 9443;            // TLS, certificate for localhost
constexpr std::uint16_t kWssOtherNamePort = 9444;   // TLS, certificate for otherhost

class TAETestBroker {
 public:
  // dir: a fresh folder for the certificates, the configuration and the log.
  explicit TAETestBroker(const std::string& dir);
  ~TAETestBroker();
  TAETestBroker(const TAETestBroker&) = delete;
  TAETestBroker& operator=(const TAETestBroker&) = delete;
  // "" once every listener accepts connections; otherwise what went wrong.
  const std::string& Error() const { return FError; }

 private:
  std::string FDir;
  std::string FError;
  long FPid = -1;
};

// True when every listener port accepts a connection within timeoutMs.
bool WaitForBrokerPorts(int timeoutMs);
