// Reading a transport in tests: always against a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "AEMqttTransport.h"

using TBytes = std::vector<std::uint8_t>;

inline TBytes ToBytes(const std::string& s) { return TBytes(s.begin(), s.end()); }

// Receives until buf holds at least n bytes or timeoutMs have passed; returns buf.
inline TBytes ReceiveAtLeast(IAEMqttTransport& t, std::size_t n, int timeoutMs = 10000) {
  TBytes buf;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (buf.size() < n && std::chrono::steady_clock::now() < deadline) t.Receive(buf, 100);
  return buf;
}

// Receives (dropping the bytes) until Receive raises; returns the message, or
// "(no error)" when nothing was raised within timeoutMs.
inline std::string ReceiveUntilError(IAEMqttTransport& t, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  TBytes buf;
  try {
    while (std::chrono::steady_clock::now() < deadline) t.Receive(buf, 100);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

inline std::string SendError(IAEMqttTransport& t, const TBytes& data) {
  try {
    t.Send(data);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}
