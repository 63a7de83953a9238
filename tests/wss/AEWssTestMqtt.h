// The few MQTT 3.1.1 packets the transport tests need, built byte by byte, and a reader
// that cuts whole packets out of the received stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "AEWssTestStream.h"

inline void PutRemainingLength(TBytes& out, std::size_t n) {
  do {
    std::uint8_t b = n % 128;
    n /= 128;
    out.push_back(n > 0 ? b | 0x80 : b);
  } while (n > 0);
}

inline void PutString(TBytes& out, const std::string& s) {
  out.push_back(static_cast<std::uint8_t>(s.size() >> 8));
  out.push_back(static_cast<std::uint8_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

inline TBytes Packet(std::uint8_t type, const TBytes& body) {
  TBytes p{type};
  PutRemainingLength(p, body.size());
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

// Protocol level 4, clean session, keep-alive 60 s.
inline TBytes ConnectPacket(const std::string& clientId) {
  TBytes body;
  PutString(body, "MQTT");
  body.insert(body.end(), {0x04, 0x02, 0x00, 0x3C});
  PutString(body, clientId);
  return Packet(0x10, body);
}

inline TBytes SubscribePacket(std::uint16_t id, const std::string& topic) {
  TBytes body{static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
  PutString(body, topic);
  body.push_back(0x00);
  return Packet(0x82, body);
}

// A QoS 0 PUBLISH of exactly totalSize bytes, its payload a counting pattern seeded so
// that two packets of the same size still differ.
inline TBytes PublishPacketOfSize(const std::string& topic, std::size_t totalSize, std::uint8_t seed) {
  for (std::size_t lenBytes = 1; lenBytes <= 4; ++lenBytes) {
    if (totalSize < 1 + lenBytes + 2 + topic.size()) break;
    const std::size_t payload = totalSize - 1 - lenBytes - 2 - topic.size();
    TBytes body;
    PutString(body, topic);
    for (std::size_t i = 0; i < payload; ++i) body.push_back(static_cast<std::uint8_t>(i * 7 + seed + (i >> 8)));
    TBytes p = Packet(0x30, body);
    if (p.size() == totalSize) return p;
  }
  return {};
}

// Cuts the first whole packet off the front of stream; nullopt until one is complete.
inline std::optional<TBytes> TakePacket(TBytes& stream) {
  std::size_t length = 0, at = 1, shift = 0;
  for (;; ++at, shift += 7) {
    if (at >= stream.size() || at > 4) return std::nullopt;
    length |= static_cast<std::size_t>(stream[at] & 0x7F) << shift;
    if ((stream[at] & 0x80) == 0) break;
  }
  const std::size_t total = at + 1 + length;
  if (stream.size() < total) return std::nullopt;
  TBytes packet(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(total));
  stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(total));
  return packet;
}

// The next whole packet from the transport, within timeoutMs; empty when none came.
inline TBytes ReceivePacket(IAEMqttTransport& t, TBytes& stream, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (auto packet = TakePacket(stream)) return *packet;
    if (std::chrono::steady_clock::now() >= deadline) return {};
    t.Receive(stream, 100);
  }
}
