// A UDP sender with a fixed destination: one datagram per Send. An address given as
// digits (IPv4 or IPv6) is used as it is, never looked up. A name is resolved on a
// thread of its own, at Start or the first Send, and again after a failed lookup or a
// failed send, at most once per retry interval; the sending thread never waits for it.
// Send and Start are not thread-safe: one thread sends (the agent's generator thread).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

inline constexpr std::chrono::milliseconds kUdpResolveRetry{10000};

class TAEUdpSender {
 public:
  // The numeric address text ("192.0.2.7", "::1") of host; raises EAEOsError when it
  // has none. Runs on the lookup thread, which can outlive the sender by as long as
  // one lookup takes.
  using TResolver = std::function<std::string(const std::string& host)>;
  // Told of a change only: resolved false with the reason when a lookup fails and the
  // one before it did not (or there was none); true with the address when one succeeds
  // after a failure. Runs on the lookup thread, never after the sender is destroyed.
  using TOnResolve = std::function<void(bool resolved, const std::string& text)>;

  // Opens and resolves nothing. resolver empty: the system's resolver.
  TAEUdpSender(std::string host, std::uint16_t port, TOnResolve onResolve = {}, TResolver resolver = {},
               std::chrono::milliseconds retry = kUdpResolveRetry);
  // Waits only for a report being given: a lookup in progress ends on its own and
  // reports nowhere.
  ~TAEUdpSender();
  TAEUdpSender(const TAEUdpSender&) = delete;
  TAEUdpSender& operator=(const TAEUdpSender&) = delete;

  // Starts the lookup of a name in the background; returns at once.
  void Start();

  // Sends bytes as one datagram. Raises EAEOsError naming the step (not resolved yet,
  // socket, send) and host:port.
  void Send(std::span<const std::uint8_t> bytes);

 private:
  struct TLookup;  // shared with the lookup threads (AEUdpCommon.cpp)
  struct TImpl;    // socket and destination (backend)
  std::shared_ptr<TLookup> FLookup;
  std::unique_ptr<TImpl> FImpl;
  std::uint64_t FAimedGeneration = 0;  // the lookup result FImpl is aimed at; 0 none

  // Common to both backends (AEUdpCommon.cpp).
  static std::shared_ptr<TLookup> NewLookup(std::string host, std::uint16_t port, TOnResolve onResolve,
                                            TResolver resolver, std::chrono::milliseconds retry);
  void EndLookup();      // no report after this returns
  void RequestLookup();  // starts a lookup unless one runs, or the last began too recently
  // Backend.
  static bool IsNumericAddress(const std::string& text);
  static std::string SystemResolve(const std::string& host);  // raises EAEOsError
  void Aim(const std::string& address);               // numeric; raises when it is not
  void SendTo(std::span<const std::uint8_t> bytes);  // raises; closes the socket on failure
};
