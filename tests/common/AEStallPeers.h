// Loopback peers that never answer, for the bounds on a Stop during a connection
// attempt: one where the TCP connect itself hangs, one where every later step does.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "AESocket.h"
#include "common/AETestListener.h"

// A listener that is never accepted from, with its queue of waiting connections
// filled: the system then drops a further connect's SYN, so that connect gets no
// answer at all, as with a host that is down. Stalled() tells whether the filling
// got there (it tries a bounded number of connections).
class TUnansweredPort {
 public:
  TUnansweredPort() : FListener(TAETcpListener::Loopback()) {
    for (int i = 0; i < 256 && !FStalled; ++i) {
      try {
        FFill.push_back(TAESocket::Connect("127.0.0.1", FListener.Port(), 300));
      } catch (const EAEConnectTimeout&) {
        FStalled = true;
      }
    }
  }
  bool Stalled() const { return FStalled; }
  std::uint16_t Port() const { return FListener.Port(); }

 private:
  TAETcpListener FListener;
  std::vector<TAESocket> FFill;
  bool FStalled = false;
};

// A listener that is never accepted from: the system completes the TCP connect and
// takes the client's first bytes, but nothing ever comes back (no TLS handshake, no
// WebSocket upgrade, no CONNACK).
class TSilentPort {
 public:
  TSilentPort() : FListener(TAETcpListener::Loopback()) {}
  std::uint16_t Port() const { return FListener.Port(); }

 private:
  TAETcpListener FListener;
};

// A port where the attempt hangs in its TCP connect (a TUnansweredPort) or, with the
// connect done, in every later step (a TSilentPort). Ready: false when the connect
// could not be made to hang.
class TStalledAttempt {
 public:
  explicit TStalledAttempt(bool inConnect) {
    if (inConnect)
      FUnanswered.emplace();
    else
      FSilent.emplace();
  }
  bool Ready() const { return !FUnanswered || FUnanswered->Stalled(); }
  std::uint16_t Port() const { return FUnanswered ? FUnanswered->Port() : FSilent->Port(); }

 private:
  std::optional<TUnansweredPort> FUnanswered;
  std::optional<TSilentPort> FSilent;
};
