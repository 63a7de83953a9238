// The wave server: a collector that received a hit record fetches that hit's stored
// file over TCP by agent id, channel, sequence and time stamp. One connection carries
// any number of 24-byte requests, each answered by a 12-byte reply header and, when the
// file was found, the file's bytes as stored.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "AESettings.h"
#include "AETcpServer.h"
#include "AEWaveRecords.h"

// Collectors keep their connections, so each one holds a thread and a descriptor for as
// long as it stays; the cap keeps peers that only connect from taking the descriptors
// the hit files need.
inline constexpr std::size_t kWaveMaxConnections = 64;
// A request whose first byte has arrived must be whole within this, or its connection
// is closed; the wait for the first byte has no limit.
inline constexpr std::chrono::seconds kWaveRequestTimeout{10};

// Serves one request of a wave-server connection: reads 24 bytes (the last 23 within
// kWaveRequestTimeout of the first), counts the request, answers and, for a bad
// request, closes the connection. Raises (and the server then closes the connection
// without a reply) when the connection ends or times out before a whole request has
// arrived, when an existing hit file cannot be read, and when the reply cannot be
// written. Thread-safe: settings are only read, the counters are atomic
// (relaxed: they are for display and imply no ordering).
void ServeWaveRequest(TAETcpConnection& connection, const TAESettings& settings,
                      std::atomic<std::int64_t>& waveRequests, std::atomic<std::int64_t>& waveServed);

// The agent's wave server: a TCP server whose handler is ServeWaveRequest. Borrows the
// settings and the two counters, which must outlive it (the agent owns all three).
class TAEWaveServer {
 public:
  TAEWaveServer(const TAESettings& settings, std::atomic<std::int64_t>& waveRequests,
                std::atomic<std::int64_t>& waveServed);

  // Listens on port on all IPv4 and IPv6 addresses; raises EAEOsError naming the port
  // when it cannot be bound.
  void Activate(std::uint16_t port) { FServer.Activate(port); }
  // Stops listening, closes every connection and joins every connection thread.
  void Deactivate() { FServer.Deactivate(); }
  // Connections being served; at most kWaveMaxConnections.
  std::size_t ConnectionCount() const { return FServer.ConnectionCount(); }
  bool Active() const { return FServer.Active(); }
  std::uint16_t Port() const { return FServer.Port(); }
  int ListenerCount() const { return FServer.ListenerCount(); }

 private:
  TAETcpServer FServer;
};
