// MQTT over a WebSocket (subprotocol "mqtt"), secure or plain. The portable part lives
// here and in AEMqttWss.cpp: the URL split, the inbox that the reader thread fills and
// Receive empties, the states and the error texts. Each backend (AEMqttWssWin32.cpp:
// WinHTTP; AEMqttWssPosix.cpp: Boost.Beast with OpenSSL) supplies TBackend, the
// constructor and destructor, Open, CloseStream, Send, Abort and the reader.
//
// Threads: Open, Close, Send, Receive and Describe are called by one thread at a time
// (the MQTT client's); Abort by any. Each successful Open starts one reader thread, which only
// delivers bytes and the end of the stream through its TAEWssLink; Close ends it.
#pragma once

#include <atomic>
#include <chrono>
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

// What one connection's reader shares with the transport: the inbox, why the stream
// ended, and an auto-reset "something happened" signal. Shared by both, so a reader
// that cannot be woken may be left behind without touching a freed transport.
struct TAEWssLink {
  // Reader side: append bytes (and wake Receive) / end the stream with a reason, unless
  // it has ended already (the first end wins: after a local Close, the error or close
  // frame the reader then meets is only its echo) / the reader is about to return.
  void Deliver(const std::uint8_t* data, std::size_t n);
  void MarkEnded(const std::string& reason);
  void MarkReaderDone();
  // Transport side.
  void SetClosedLocally();
  bool IsEnded() const { return Closed.load(std::memory_order_acquire); }
  bool WaitReaderDone(std::chrono::milliseconds limit);
  std::string NotOpenText() const;

  mutable std::mutex Lock;
  std::condition_variable Changed;
  bool Signalled = false;            // guarded by Lock: the auto-reset event
  bool ReaderDone = false;           // guarded by Lock
  std::vector<std::uint8_t> Inbox;   // guarded by Lock
  std::string Error;                 // guarded by Lock; written at most once, before Closed
  std::atomic<bool> Closed{false};   // written under Lock, read without it
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
  void Abort() override;

  // "wss://" (or no scheme) is secure, "ws://" plain; schemes without regard to case.
  // Port 443 or 80 when the URL gives none; the path keeps its query; "/" when absent.
  static TAEWssEndpoint ParseUrl(const std::string& url);

 private:
  struct TBackend;  // the platform's handles, defined by the backend file

  // A fresh link for a new stream: no bytes, no reason, not ended.
  void NewLink() { FLink = std::make_shared<TAEWssLink>(); }
  // Open's bracket for Abort: raises when aborted, else marks an Open in progress (so
  // that Abort reaches into the backend) until LeaveOpen. Close clears the abort.
  void EnterOpen();
  void LeaveOpen();
  void ThrowIfAborted();
  // Close without clearing the abort: Open starts with it.
  void CloseStream();

  const std::string FUrl;
  const TAEWssEndpoint FEndpoint;
  std::unique_ptr<TBackend> FBackend;
  std::thread FReader;
  std::mutex FAbortLock;
  bool FAborted = false;  // guarded by FAbortLock
  bool FOpening = false;  // guarded by FAbortLock
  // Never null. Before the first Open it is a link that has not ended, so Receive waits
  // and returns 0; Close ends it.
  std::shared_ptr<TAEWssLink> FLink = std::make_shared<TAEWssLink>();
};

// How long one Send may take before the stream counts as dead. The client checks its
// keep-alive between calls only, so a peer that has stopped reading (or a transport call
// that does not return) must not hold it longer: the stream is ended and Send raises.
constexpr auto kWssSendLimit = std::chrono::seconds(5);
inline constexpr const char* kWssSendStalledText = "WebSocket send stalled";

// "<step> failed: <reason>", the reason being the platform's or the library's text.
std::string ApiFailureText(const std::string& step, const std::string& reason);
