// MQTT over a WebSocket (subprotocol "mqtt"), secure or plain. The portable part lives
// here and in AEMqttWss.cpp: the URL split, the inbox that the reader thread fills and
// Receive empties, the states and the error texts. Each backend (AEMqttWssWin32.cpp:
// WinHTTP; AEMqttWssPosix.cpp: Boost.Beast with OpenSSL) supplies TBackend, Open, Close,
// Send and the reader's loop.
//
// Threads: Open, Close, Send, Receive and Describe are called by one thread at a time
// (the MQTT client's). Each successful Open starts one reader thread, which only
// delivers bytes and the end of the stream through Deliver and MarkEnded; Close joins it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AEMqttTransport.h"

// Where a WebSocket URL points.
struct TAEWssEndpoint {
  bool Secure = true;
  std::string Host;
  std::uint16_t Port = 443;
  std::string Path = "/";
};

class TAEWssTransport : public IAEMqttTransport {
 public:
  // Splits the URL; raises EAEConvertError for a port that is not an integer in 1..65535.
  explicit TAEWssTransport(const std::string& url);
  ~TAEWssTransport() override;
  TAEWssTransport(const TAEWssTransport&) = delete;
  TAEWssTransport& operator=(const TAEWssTransport&) = delete;

  void Open() override;
  void Close() override;
  void Send(const std::vector<std::uint8_t>& data) override;
  std::int32_t Receive(std::vector<std::uint8_t>& buf, std::int32_t timeoutMs) override;
  std::string Describe() const override { return FUrl; }

  // "wss://" (or no scheme) is secure, "ws://" plain; schemes without regard to case.
  // Port 443 or 80 when the URL gives none; the path keeps its query; "/" when absent.
  static TAEWssEndpoint ParseUrl(const std::string& url);

 private:
  struct TBackend;  // the platform's handles, defined by the backend file

  // Reader side: append bytes to the inbox (and wake Receive) / end the stream with a
  // reason, unless it has ended already.
  void Deliver(const std::uint8_t* data, std::size_t n);
  void MarkEnded(const std::string& reason);
  void ResetInbox();  // before a new stream: no bytes, no reason, not ended
  void SetClosedLocally();
  bool IsEnded() const { return FClosed.load(std::memory_order_acquire); }
  std::string NotOpenText() const;
  void ReadLoop();  // backend: runs on FReader until the stream ends

  const std::string FUrl;
  const TAEWssEndpoint FEndpoint;
  std::unique_ptr<TBackend> FBackend;
  std::thread FReader;

  mutable std::mutex FLock;
  std::condition_variable FDataReady;
  bool FSignalled = false;            // guarded by FLock: auto-reset event
  std::vector<std::uint8_t> FInbox;   // guarded by FLock
  std::string FError;                 // guarded by FLock; written once before FClosed
  std::atomic<bool> FClosed{false};   // written under FLock, read without it
};

// "<step> failed: <reason>", the reason being the platform's or the library's text.
std::string ApiFailureText(const std::string& step, const std::string& reason);
