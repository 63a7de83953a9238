// A listening socket on 127.0.0.1 for tests, benchmarks and the peers they script;
// the product only connects. Errors raise EAESocketError as the rest of AESocket.h.
#pragma once

#include <cstdint>

#include "AESocket.h"

// Move-only.
class TAETcpListener {
 public:
  TAETcpListener() = default;
  TAETcpListener(TAETcpListener&& other) noexcept = default;
  TAETcpListener& operator=(TAETcpListener&& other) noexcept = default;

  // Binds 127.0.0.1:port (0: a free port) and listens. Raises EAESocketError.
  static TAETcpListener Loopback(std::uint16_t port = 0);
  std::uint16_t Port() const { return FPort; }
  // Waits at most timeoutMs for a connection; an unopened socket when none came. Nagle
  // is off on it: each send of a scripted peer leaves as a segment of its own.
  TAESocket Accept(int timeoutMs);
  bool IsOpen() const { return FSocket.IsOpen(); }
  void Close() { FSocket.Close(); }

 private:
  TAESocket FSocket;
  std::uint16_t FPort = 0;
};
