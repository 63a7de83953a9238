// A UDP receiver on 127.0.0.1 with a port chosen by the system, for tests.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// A TCP port that was free on 127.0.0.1 a moment ago (bound to port 0, then closed),
// so that programs run side by side do not share their listening port.
std::uint16_t FreeLoopbackTcpPort();

class TTestUdpReceiver {
 public:
  TTestUdpReceiver();  // binds 127.0.0.1:0; fails the test's assertions on error via throw
  ~TTestUdpReceiver();
  std::uint16_t Port() const;
  // Waits at most timeoutMs for one datagram; false when none came.
  bool Receive(std::vector<std::uint8_t>& datagram, int timeoutMs);

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};
