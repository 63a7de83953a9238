// MQTT over a plain TCP connection (IAEMqttTransport's contract is in AEMqttTransport.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "AEMqttTransport.h"
#include "AESocket.h"

class TAETcpTransport : public IAEMqttTransport {
 public:
  static constexpr int kConnectTimeoutMs = 10000;
  static constexpr std::size_t kReadChunk = 32768;

  // Stores the endpoint; connects nothing and checks nothing.
  TAETcpTransport(std::string host, std::uint16_t port);
  ~TAETcpTransport() override;

  void Open() override;
  void Close() override;
  void Send(const std::vector<std::uint8_t>& data) override;
  std::int32_t Receive(std::vector<std::uint8_t>& buf, std::int32_t timeoutMs) override;
  std::string Describe() const override;
  void Abort() override;

 private:
  void MarkEnded();
  [[noreturn]] void ThrowClosed() const;

  std::string FHost;
  std::uint16_t FPort;
  TAESocket FSocket;
  TAEConnectCancel FCancel;  // set by Abort, cleared by Close
  bool FEnded = false;   // the peer or the network ended the connection
  bool FOpened = false;  // an Open has succeeded since creation
  std::array<std::uint8_t, kReadChunk> FChunk{};
};
