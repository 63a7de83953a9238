// The test broker: mosquitto with WebSocket listeners, run by broker.sh in a private
// network namespace. Natively the test process enters its own namespace and starts the
// broker per test; under Wine, wine-broker.sh has done both before the tests start and
// exports where the broker lives (VELKARN_WSS_BROKER_DIR, VELKARN_WSS_BROKER_SCRIPT),
// so that a test can still stop, restart, freeze and thaw it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

constexpr std::uint16_t kTcpPort = 1883;            // plain MQTT, 127.0.0.1 only
constexpr std::uint16_t kWsPort = 9001;             // plain
constexpr std::uint16_t kWssPort = 9443;            // TLS, certificate for localhost
constexpr std::uint16_t kWssOtherNamePort = 9444;   // TLS, certificate for otherhost

class TAETestBroker {
 public:
  // dir: a fresh folder for the certificates, the configuration and the log (natively;
  // under Wine the wrapper's folder is used). extraConfig: global mosquitto options.
  explicit TAETestBroker(const std::string& dir, const std::string& extraConfig = "");
  ~TAETestBroker();
  TAETestBroker(const TAETestBroker&) = delete;
  TAETestBroker& operator=(const TAETestBroker&) = delete;
  // "" once every listener accepts connections; otherwise what went wrong.
  const std::string& Error() const { return FError; }

  // Ends the broker and waits until no listener accepts any more (true), or starts it
  // again with the same certificates and waits until every listener accepts (true).
  bool Stop();
  bool Start();
  // Suspends / resumes the broker process: its connections stay open, nothing answers.
  void Freeze();
  void Thaw();

 private:
  std::string FDir;
  std::string FError;
  long FPid = -1;
  bool FFrozen = false;
};

// True when every listener port accepts a connection within timeoutMs.
bool WaitForBrokerPorts(int timeoutMs);
// True when no listener port accepts a connection any more, within timeoutMs.
bool WaitForBrokerPortsClosed(int timeoutMs);

// How long the MQTT client's Stop (flush, DISCONNECT, then the transport's Close) may
// take with the broker answering or silent (frozen). After DISCONNECT the client waits
// up to 1 s for the broker to end the connection, so a silent broker costs that second.
// Under Wine, WinHTTP also misses the end of a TLS connection (the same second with a
// live broker over wss), and a receive blocked on a silent server is not woken at all:
// Close waits 2 s for the reader, then leaves it behind.
std::chrono::milliseconds StopLimit(bool silentBroker);
