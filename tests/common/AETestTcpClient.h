// A blocking TCP client for tests and benchmarks, with a time limit on every wait.
// Connects to numeric addresses only ("127.0.0.1", "::1").
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

class TAETestTcpClient {
 public:
  // Raises std::runtime_error when the connection cannot be made within 5 s.
  TAETestTcpClient(const std::string& host, std::uint16_t port);
  ~TAETestTcpClient();
  TAETestTcpClient(const TAETestTcpClient&) = delete;
  TAETestTcpClient& operator=(const TAETestTcpClient&) = delete;

  // Sends all bytes; raises std::runtime_error on failure.
  void Send(std::string_view bytes);
  // Waits until n bytes have arrived, the stream has ended or timeout has passed, and
  // returns what arrived.
  std::string Receive(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when the stream ends (end or reset) within timeout with no byte before it.
  bool WaitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Ends our sending side; the peer sees the end of the stream.
  void ShutdownSend();
  // Closes with a reset instead of an orderly end.
  void Reset();

  // Whether this machine can open a socket on ::1.
  static bool HasIPv6Loopback();

 private:
  std::intptr_t FSocket;
};
