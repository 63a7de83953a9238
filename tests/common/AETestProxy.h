// A TCP proxy of the tests' own between a client and a server on 127.0.0.1, that can
// pass the bytes, stall the path (neither read nor write, so the sender's buffers fill)
// and cut it (close both sides of every connection, as a broken network would). New
// connections are accepted in every mode and relayed once the path passes again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AESocket.h"
#include "common/AETestListener.h"

class TAETestProxy {
 public:
  // Listens on a free port of 127.0.0.1; each connection is relayed to host:port.
  TAETestProxy(std::string host, std::uint16_t port);
  ~TAETestProxy();
  TAETestProxy(const TAETestProxy&) = delete;
  TAETestProxy& operator=(const TAETestProxy&) = delete;

  std::uint16_t Port() const { return FListener.Port(); }
  void Pass() { FStalled = false; }
  void Stall() { FStalled = true; }
  // Ends every open connection now; later ones are relayed again.
  void Cut();
  // Connections accepted so far, and bytes relayed towards the server.
  int Connections() const { return FConnections.load(); }
  std::int64_t BytesToServer() const { return FToServer.load(); }

 private:
  struct TPair {
    TAESocket Client, Server;
  };
  void Run(std::stop_token stop);
  static bool Relay(TAESocket& from, TAESocket& to, std::vector<std::uint8_t>& chunk, std::int64_t& moved);

  std::string FHost;
  std::uint16_t FPort;
  TAETcpListener FListener;
  std::atomic<bool> FStalled{false};
  std::atomic<int> FCutRequests{0};
  std::atomic<int> FConnections{0};
  std::atomic<std::int64_t> FToServer{0};
  std::mutex FLock;
  std::condition_variable FCutsDoneChanged;  // Cut waits on it until the pairs are closed
  int FCutsDone = 0;  // guarded by FLock
  std::jthread FThread;  // last: stopped before the rest goes
};
