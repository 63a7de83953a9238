// What the TCP server needs of the socket API; one implementation per platform
// (AETcpServerPosix.cpp, AETcpServerWin32.cpp). Used only by AETcpServer.cpp.
#pragma once

#include <cstdint>
#include <memory>

#include "AETcpServer.h"

// An accepted connection as the backend gives it to the server.
class IAEAcceptedSocket : public TAETcpConnection {
 public:
  // Wakes a ReadExact or Write blocked on another thread and makes every later one
  // raise. Safe from any thread while the object lives, any number of times.
  virtual void Abort() = 0;
};

enum class TAEAddressFamily { IPv4, IPv6 };

// One listening socket. Accept runs on the family's listening thread; Wake comes from
// the thread that deactivates the server.
class IAEListenSocket {
 public:
  virtual ~IAEListenSocket() = default;
  // Waits for the next connection. Returns nullptr once Wake has been called; raises
  // EAEOsError when accepting fails (the caller backs off and tries again).
  virtual std::unique_ptr<IAEAcceptedSocket> Accept() = 0;
  virtual void Wake() = 0;
  virtual std::uint16_t Port() const = 0;
};

// Listens on all addresses of the family on port (0 = any free port). Returns nullptr
// when the system has no such family; raises EAEOsError naming the port otherwise.
std::unique_ptr<IAEListenSocket> OpenTcpListener(TAEAddressFamily family, std::uint16_t port);

// Whether an EAEOsError code of OpenTcpListener means "port already in use".
bool IsAddressInUseError(int osError);
