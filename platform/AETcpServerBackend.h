// What the TCP server needs of the socket API; one implementation per platform
// (AETcpServerPosix.cpp, AETcpServerWin32.cpp). Used only by AETcpServer.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "AETcpServer.h"

// An accepted connection as the backend gives it to the server.
class IAEAcceptedSocket : public TAETcpConnection {
 public:
  // Wakes a ReadExact or Write blocked on another thread and makes every later one
  // raise. Safe from any thread while the object lives, any number of times.
  virtual void Abort() = 0;

  // Whether the peer has already ended or reset the connection while it was idle, even
  // if its thread has not yet seen the end. Safe from any thread while the object lives.
  virtual bool PeerGone() = 0;

  // Whether PeerGone cannot look at the connection now: where a peer's end shows only in
  // the wait for a request, every other moment (a reply just written, the rest of a
  // request). Its own thread then sees a peer's end at once, unless it is writing to a
  // peer that does not read.
  virtual bool PeerUnseen() { return false; }

  // A connection is idle until a request's first byte arrives or a write starts, and
  // again once a write has ended or the handler has returned. The server takes an idle
  // connection to make room for a new one only by TakeIdle, so a request that has begun
  // is never cut for another.
  bool TakeIdle() {
    int idle = kIdle;
    return FState.compare_exchange_strong(idle, kTaken);
  }
  // Only the connection's own thread ends a busy spell, so the check cannot go stale.
  void MarkIdle() {
    if (FState.load() != kBusy) return;
    FIdleSince.store(std::chrono::steady_clock::now().time_since_epoch().count());
    FAsked.store(true);
    int busy = kBusy;
    FState.compare_exchange_strong(busy, kIdle);
  }
  bool Idle() const { return FState.load() == kIdle; }
  // Whether anything has been asked on it yet, and since when it is idle.
  bool Asked() const { return FAsked.load(); }
  std::chrono::steady_clock::rep IdleSince() const { return FIdleSince.load(); }

 protected:
  // For the backend: false once the server has taken the connection, which then must
  // raise instead of going on.
  bool MarkBusy() {
    int idle = kIdle;
    return FState.compare_exchange_strong(idle, kBusy) || idle == kBusy;
  }

 private:
  static constexpr int kIdle = 0;
  static constexpr int kBusy = 1;
  static constexpr int kTaken = 2;
  std::atomic<int> FState{kIdle};
  std::atomic<bool> FAsked{false};
  std::atomic<std::chrono::steady_clock::rep> FIdleSince{std::chrono::steady_clock::now().time_since_epoch().count()};
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
