// A blocking loopback TCP socket for scripted peers in the WebSocket tests. Every call
// that waits takes a time-out, so a test that goes wrong fails instead of hanging.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "AESocket.h"
#include "common/AETestListener.h"

class TTestSocket {
 public:
  TTestSocket() = default;

  // Listens on 127.0.0.1 on a port chosen by the system, returned in port.
  static TTestSocket Listen(std::uint16_t& port);
  // True when something accepts a connection on 127.0.0.1:port.
  static bool CanConnect(std::uint16_t port);

  // nullopt when no connection came within timeoutMs.
  std::optional<TTestSocket> Accept(int timeoutMs);
  void SendAll(const std::string& bytes);
  // Up to max bytes; "" when nothing came in time; nullopt once the peer has ended the
  // connection (orderly or not).
  std::optional<std::string> RecvSome(int timeoutMs, std::size_t max = 65536);
  // Exactly n bytes, or nullopt when the connection ends or the time runs out first.
  std::optional<std::string> RecvExactly(std::size_t n, int timeoutMs);
  // Bytes up to and including the first "\r\n\r\n" (an HTTP head); nullopt on time-out.
  std::optional<std::string> RecvHttpHead(int timeoutMs);
  // True once the peer has closed within timeoutMs (pending bytes are read and dropped).
  bool WaitPeerClosed(int timeoutMs);
  void Close();
  bool IsOpen() const { return FSocket.IsOpen() || FListener.IsOpen(); }

 private:
  TAESocket FSocket;         // a connection, or
  TAETcpListener FListener;  // a listener
  std::string FPending;  // read past an HTTP head, handed out first
};
