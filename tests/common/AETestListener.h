// A listening socket on 127.0.0.1 for tests, benchmarks and the peers they script, and a
// port held without one; the product only connects. Errors raise EAESocketError as the
// rest of AESocket.h.
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

// A free port of 127.0.0.1, bound and held without listening while this lives. A
// connection there is refused, and no free-port pick (a bind to port 0, in any process)
// hands it out, as it would a port that was picked and let go: tests run side by side.
// A socket that asks to reuse the address, as mosquitto's does, can still listen on it.
// Move-only.
class TAEHeldPort {
 public:
  TAEHeldPort() = default;
  TAEHeldPort(TAEHeldPort&& other) noexcept = default;
  TAEHeldPort& operator=(TAEHeldPort&& other) noexcept = default;

  static TAEHeldPort Loopback();  // raises EAESocketError
  std::uint16_t Port() const { return FPort; }

 private:
  TAESocket FSocket;
  std::uint16_t FPort = 0;
};
