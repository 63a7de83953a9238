// A bare MQTT subscriber on a socket, built from the codec, that reports the flags of
// every PUBLISH it gets (QoS and retain as the broker delivered them).
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "AEMqtt.h"
#include "AEMqttPacket.h"
#include "AESocket.h"

struct TRawPublish {
  std::string Topic;
  std::uint8_t QoS = 0;
  bool Retain = false;
  TAEBytes Payload;
};

class TRawSubscriber {
 public:
  TRawSubscriber(const std::string& host, std::uint16_t port, const std::string& user, const std::string& password,
                 const std::string& clientId, const std::string& filter) {
    FSocket = TAESocket::Connect(host, port, 5000);
    TAEMqttOptions o = TAEMqttOptions::Default();
    o.ClientId = clientId;
    o.User = user;
    o.Password = password;
    FSocket.SendAll(BuildConnect(o));
    const TAEMqttPacket ack = Next(std::chrono::seconds(5));
    if (ack.Type != kMqttConnack || !ParseConnack(ack.Body).Accepted) throw std::runtime_error("subscriber refused");
    FSocket.SendAll(BuildSubscribe(1, filter, 1));
    const TAEMqttPacket suback = Next(std::chrono::seconds(5));
    if (suback.Type != kMqttSuback || IsSubackRefusal(suback.Body)) throw std::runtime_error("subscribe refused");
  }

  // The next PUBLISH (acknowledged when QoS 1), or nothing within the limit.
  std::optional<TRawPublish> NextPublish(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      const TAEMqttPacket p = Next(left);
      if (p.Type != kMqttPublish) continue;
      TAEIncomingPublish m;
      if (!ParseIncomingPublish(p.Flags, p.Body, m)) throw std::runtime_error("short PUBLISH");
      if (m.HasPacketId) FSocket.SendAll(BuildPubAck(m.IdHigh, m.IdLow));
      return TRawPublish{m.Topic, m.QoS, (p.Flags & 1) != 0, m.Payload};
    }
  }

 private:
  // Raises when nothing whole arrives in time (type 0 is never a real packet).
  TAEMqttPacket Next(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    TAEMqttPacket p;
    while (!TryTakePacket(FIn, p)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return TAEMqttPacket{};
      std::vector<std::uint8_t> chunk(65536);
      const auto n = FSocket.Receive(chunk, static_cast<int>(left.count()));
      if (n == 0) throw std::runtime_error("broker closed the subscriber");
      if (n > 0) FIn.insert(FIn.end(), chunk.begin(), chunk.begin() + n);
    }
    return p;
  }

  TAESocket FSocket;
  TAEBytes FIn;
};
