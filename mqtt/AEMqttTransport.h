// The MQTT client's byte stream to the broker. The client never touches a socket: it
// frames packets and moves them through this interface.
//
// Contract (every implementation keeps it):
// - Open: a fresh stream to the endpoint fixed at creation; closes any earlier stream
//   first. Raises (EAEError) with a readable message on failure.
// - Close: ends the stream and releases what it holds; safe at any time, any number of
//   times. Sends no goodbye of the transport's own protocol.
// - Send: transmits every byte of data, in order, before returning (one whole MQTT
//   packet per call). Raises when not open or when the write fails.
// - Receive: waits at most about timeoutMs for bytes, appends what has arrived to buf
//   and returns how many were appended (0: nothing in time; timeoutMs 0 takes what is
//   there without waiting). Once the stream has ended (peer close, error, Close) and no
//   bytes remain, raises.
// - Describe: a short text naming the endpoint, valid in every state.
// - Abort: ends an Open in progress at once (it raises), whatever step it is in, and
//   makes every later Open raise at once, until the next Close. A stream already open
//   is left alone. For a Stop that must not wait out a connect's time-out.
// Threads: called by one thread at a time (the client's), except Abort, which any
// thread may call at any time; implementations may run threads of their own inside. Ownership: the factories return a unique_ptr; the
// client holds it until it is freed, and the destructor closes the stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class IAEMqttTransport {
 public:
  virtual ~IAEMqttTransport() = default;
  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual void Send(const std::vector<std::uint8_t>& data) = 0;
  virtual std::int32_t Receive(std::vector<std::uint8_t>& buf, std::int32_t timeoutMs) = 0;
  virtual std::string Describe() const = 0;
  virtual void Abort() = 0;
};

// MQTT over plain TCP to host:port.
std::unique_ptr<IAEMqttTransport> CreateTcpTransport(const std::string& host, std::uint16_t port);

// MQTT over a WebSocket (subprotocol "mqtt"): "wss://", "ws://" or no scheme.
std::unique_ptr<IAEMqttTransport> CreateWssTransport(const std::string& url);
