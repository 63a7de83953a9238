// A scripted WebSocket server on a real loopback socket, for what a real broker will
// not do: refuse the upgrade, split its answer, send text or a close frame, go silent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "AEMqttTransport.h"
#include "AEWssTestSocket.h"

constexpr int kPeerTimeoutMs = 10000;

std::string Sha1(const std::string& data);
std::string Base64(const std::string& data);
// The Sec-WebSocket-Accept value for a client's key.
std::string AcceptKey(const std::string& key);

// One unmasked server frame (FIN set unless fin is false).
std::string ServerFrame(std::uint8_t opcode, const std::string& payload, bool fin = true);

struct TClientFrame {
  bool Fin = false;
  std::uint8_t Opcode = 0;
  bool Masked = false;
  std::string Payload;  // unmasked
};
// The next frame from the client; nullopt when the connection ends or time runs out.
std::optional<TClientFrame> ReadClientFrame(TTestSocket& s, int timeoutMs = kPeerTimeoutMs);

// Reads client frames until the client closes: a close frame, answered with one as a
// real server does before it ends the connection, or the end of the TCP connection.
// False when neither came in time.
bool AnswerClientClose(TTestSocket& s, int timeoutMs = kPeerTimeoutMs);

// Value of an HTTP header (name without regard to case), "" when absent.
std::string HeaderValue(const std::string& head, const std::string& name);

// Accepts one connection and reads its upgrade request into head (when given).
TTestSocket AcceptRequest(TTestSocket& listener, std::string* head = nullptr);
// The 101 answer to that request, with the subprotocol mqtt.
std::string UpgradeAnswer(const std::string& head);
// AcceptRequest followed by the 101 answer in one piece.
TTestSocket AcceptUpgrade(TTestSocket& listener, std::string* head = nullptr);

// AcceptUpgrade, then waits for the client's first frame before the script may speak,
// as an MQTT broker waits for CONNECT. (Some WinHTTP versions lose bytes that arrive
// together with the 101 answer; no broker sends any there.)
TTestSocket AcceptSession(TTestSocket& listener);
// Client side of the same: Open, then the first frame.
void OpenSession(IAEMqttTransport& t);

// Runs a script against a listening socket on its own thread. A script signals failure
// by throwing; Finish joins and returns what went wrong ("" when nothing did).
class TScriptedServer {
 public:
  explicit TScriptedServer(std::function<void(TTestSocket& listener, TScriptedServer& self)> script);
  ~TScriptedServer();
  std::uint16_t Port() const { return FPort; }
  std::string Url(const std::string& path = "/mqtt") const {
    return "ws://127.0.0.1:" + std::to_string(FPort) + path;
  }
  // Lets a script that waits in AwaitRelease go on.
  void Release();
  // Script side: waits for Release; false when the time ran out.
  bool AwaitRelease(int timeoutMs = kPeerTimeoutMs);
  std::string Finish();

 private:
  std::uint16_t FPort = 0;
  TTestSocket FListener;
  std::mutex FLock;
  std::condition_variable FReleased;
  bool FRelease = false;  // guarded by FLock
  std::string FError;     // written by the script thread, read after the join
  std::thread FThread;
};
