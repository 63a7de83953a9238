// A UDP sender with a fixed destination: one datagram per Send. The destination is
// resolved at the first Send, not at construction, and again after a failed send.
// Not thread-safe: one thread sends (the agent's generator thread).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

class TAEUdpSender {
 public:
  TAEUdpSender(std::string host, std::uint16_t port);  // opens nothing
  ~TAEUdpSender();
  TAEUdpSender(const TAEUdpSender&) = delete;
  TAEUdpSender& operator=(const TAEUdpSender&) = delete;

  // Sends bytes as one datagram. Raises EAEOsError naming the step (resolve, socket,
  // send) and host:port.
  void Send(std::span<const std::uint8_t> bytes);

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};
