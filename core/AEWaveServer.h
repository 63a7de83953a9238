// The wave server: a collector that received a hit record fetches that hit's stored
// file over TCP by agent id, channel, sequence and time stamp. One connection carries
// any number of 24-byte requests, each answered by a 12-byte reply header and, when the
// file was found, the file's bytes as stored.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "AESettings.h"
#include "AETcpServer.h"
#include "AEWaveRecords.h"

// Collectors keep their connections, so each one holds a thread and a descriptor for as
// long as it stays; the cap keeps peers that only connect from taking the descriptors
// the hit files need. At the cap a new connection takes the place of an idle one.
inline constexpr std::size_t kWaveMaxConnections = 64;
// A request whose first byte has arrived must be whole within this, or its connection
// is closed; the wait for the first byte has no limit.
inline constexpr std::chrono::seconds kWaveRequestTimeout{10};
// A reply the peer has not taken within this closes its connection.
inline constexpr std::chrono::seconds kWaveReplyTimeout{10};
// The line that tells the operator the cap is reached comes at most this often.
inline constexpr std::chrono::seconds kWaveFullNoticeEvery{60};

// The node uses the defaults; tests shorten them.
struct TAEWaveLimits {
  std::size_t MaxConnections = kWaveMaxConnections;
  std::chrono::milliseconds RequestTimeout = kWaveRequestTimeout;
  std::chrono::milliseconds ReplyTimeout = kWaveReplyTimeout;
  std::chrono::milliseconds FullNoticeEvery = kWaveFullNoticeEvery;
};

// Serves one request of a wave-server connection: reads 24 bytes (the last 23 within
// RequestTimeout of the first), counts the request, answers (the peer must take the
// reply within ReplyTimeout) and, for a bad request, closes the connection. Raises (and
// the server then closes the connection without a reply) when the connection ends or
// times out before a whole request has arrived, when an existing hit file cannot be
// read, and when the reply cannot be written in time. Thread-safe: settings are only
// read, the counters are atomic (relaxed: they are for display and imply no ordering).
void ServeWaveRequest(TAETcpConnection& connection, const TAESettings& settings,
                      std::atomic<std::int64_t>& waveRequests, std::atomic<std::int64_t>& waveServed,
                      const TAEWaveLimits& limits = {});

// Takes one event line's text, which begins "wave server: ".
using TAEWaveLogProc = std::function<void(const std::string&)>;

// The agent's wave server: a TCP server whose handler is ServeWaveRequest. Borrows the
// settings and the two counters, which must outlive it (the agent owns all three).
// Without a log procedure its lines go to the console as the agent's event lines.
class TAEWaveServer {
 public:
  TAEWaveServer(const TAESettings& settings, std::atomic<std::int64_t>& waveRequests,
                std::atomic<std::int64_t>& waveServed, const TAEWaveLimits& limits = {}, TAEWaveLogProc log = {});

  // Listens on port on all IPv4 and IPv6 addresses; raises EAEOsError naming the port
  // when it cannot be bound.
  void Activate(std::uint16_t port) { FServer.Activate(port); }
  // Stops listening, closes every connection and joins every connection thread.
  void Deactivate() { FServer.Deactivate(); }
  // Connections being served; at most MaxConnections.
  std::size_t ConnectionCount() const { return FServer.ConnectionCount(); }
  bool Active() const { return FServer.Active(); }
  std::uint16_t Port() const { return FServer.Port(); }
  int ListenerCount() const { return FServer.ListenerCount(); }

 private:
  // Tells the operator, at most once per FullNoticeEvery, that the cap is reached.
  void NoteFull();

  TAEWaveLimits FLimits;
  TAEWaveLogProc FLog;
  std::mutex FNoticeLock;
  std::optional<std::chrono::steady_clock::time_point> FLastNotice;  // guarded by FNoticeLock
  TAETcpServer FServer;  // last: its threads use the members above
};
