#include "AEWssTestPeer.h"

#include <array>
#include <chrono>
#include <stdexcept>

#include "AEConvert.h"

std::string Sha1(const std::string& data) {
  std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::string m = data;
  const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  m += '\x80';
  while (m.size() % 64 != 56) m += '\0';
  for (int i = 7; i >= 0; --i) m += static_cast<char>(bits >> (i * 8));
  auto rol = [](std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); };
  for (std::size_t block = 0; block < m.size(); block += 64) {
    std::array<std::uint32_t, 80> w{};
    for (int i = 0; i < 16; ++i)
      for (int j = 0; j < 4; ++j) w[i] = (w[i] << 8) | static_cast<std::uint8_t>(m[block + i * 4 + j]);
    for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      std::uint32_t f, k;
      if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
      else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
      else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
      else f = b ^ c ^ d, k = 0xCA62C1D6;
      const std::uint32_t t = rol(a, 5) + f + e + k + w[i];
      e = d, d = c, c = rol(b, 30), b = a, a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
  }
  std::string out;
  for (std::uint32_t v : h)
    for (int i = 3; i >= 0; --i) out += static_cast<char>(v >> (i * 8));
  return out;
}

std::string Base64(const std::string& data) {
  static const char* kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    std::uint32_t v = static_cast<std::uint8_t>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<std::uint8_t>(data[i + 1]) << 8;
    if (i + 2 < data.size()) v |= static_cast<std::uint8_t>(data[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < data.size() ? kDigits[(v >> 6) & 63] : '=';
    out += i + 2 < data.size() ? kDigits[v & 63] : '=';
  }
  return out;
}

std::string AcceptKey(const std::string& key) {
  return Base64(Sha1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
}

std::string ServerFrame(std::uint8_t opcode, const std::string& payload, bool fin) {
  std::string f;
  f += static_cast<char>((fin ? 0x80 : 0x00) | opcode);
  const std::uint64_t n = payload.size();
  if (n < 126) {
    f += static_cast<char>(n);
  } else if (n < 65536) {
    f += static_cast<char>(126);
    f += static_cast<char>(n >> 8);
    f += static_cast<char>(n);
  } else {
    f += static_cast<char>(127);
    for (int i = 7; i >= 0; --i) f += static_cast<char>(n >> (i * 8));
  }
  return f + payload;
}

std::optional<TClientFrame> ReadClientFrame(TTestSocket& s, int timeoutMs) {
  auto head = s.RecvExactly(2, timeoutMs);
  if (!head) return std::nullopt;
  TClientFrame frame;
  const auto b0 = static_cast<std::uint8_t>((*head)[0]);
  const auto b1 = static_cast<std::uint8_t>((*head)[1]);
  frame.Fin = (b0 & 0x80) != 0;
  frame.Opcode = b0 & 0x0F;
  frame.Masked = (b1 & 0x80) != 0;
  std::uint64_t n = b1 & 0x7F;
  if (n >= 126) {
    auto ext = s.RecvExactly(n == 126 ? 2 : 8, timeoutMs);
    if (!ext) return std::nullopt;
    n = 0;
    for (char c : *ext) n = (n << 8) | static_cast<std::uint8_t>(c);
  }
  std::string mask = "\0\0\0\0";
  if (frame.Masked) {
    auto m = s.RecvExactly(4, timeoutMs);
    if (!m) return std::nullopt;
    mask = *m;
  }
  auto payload = s.RecvExactly(static_cast<std::size_t>(n), timeoutMs);
  if (!payload) return std::nullopt;
  for (std::size_t i = 0; i < payload->size(); ++i) (*payload)[i] ^= mask[i % 4];
  frame.Payload = std::move(*payload);
  return frame;
}

bool AnswerClientClose(TTestSocket& s, int timeoutMs) {
  for (;;) {
    auto frame = ReadClientFrame(s, timeoutMs);
    if (!frame) return !s.RecvSome(0).has_value();  // ended, or nothing in time
    if (frame->Opcode == 0x8) {
      s.SendAll(ServerFrame(0x8, frame->Payload));
      s.Close();
      return true;
    }
  }
}

std::string HeaderValue(const std::string& head, const std::string& name) {
  std::size_t pos = head.find("\r\n");
  while (pos != std::string::npos && pos + 2 < head.size()) {
    const std::size_t start = pos + 2;
    const std::size_t end = head.find("\r\n", start);
    const std::string line = head.substr(start, end - start);
    const auto colon = line.find(':');
    if (colon != std::string::npos && EqualsNoCase(line.substr(0, colon), name)) return Trim(line.substr(colon + 1));
    pos = end;
  }
  return "";
}

TTestSocket AcceptRequest(TTestSocket& listener, std::string* head) {
  auto conn = listener.Accept(kPeerTimeoutMs);
  if (!conn) throw std::runtime_error("no connection came");
  auto request = conn->RecvHttpHead(kPeerTimeoutMs);
  if (!request) throw std::runtime_error("no upgrade request came");
  if (head != nullptr) *head = *request;
  return std::move(*conn);
}

std::string UpgradeAnswer(const std::string& head) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " + AcceptKey(HeaderValue(head, "Sec-WebSocket-Key")) +
         "\r\nSec-WebSocket-Protocol: mqtt\r\n\r\n";
}

TTestSocket AcceptUpgrade(TTestSocket& listener, std::string* head) {
  std::string request;
  TTestSocket conn = AcceptRequest(listener, &request);
  conn.SendAll(UpgradeAnswer(request));
  if (head != nullptr) *head = request;
  return conn;
}

TTestSocket AcceptSession(TTestSocket& listener) {
  TTestSocket conn = AcceptUpgrade(listener);
  auto hello = ReadClientFrame(conn);
  if (!hello || hello->Payload != "hello") throw std::runtime_error("no first frame from the client");
  return conn;
}

void OpenSession(IAEMqttTransport& t) {
  t.Open();
  t.Send({'h', 'e', 'l', 'l', 'o'});
}

TScriptedServer::TScriptedServer(std::function<void(TTestSocket&, TScriptedServer&)> script)
    : FListener(TTestSocket::Listen(FPort)) {
  FThread = std::thread([this, script = std::move(script)] {
    try {
      script(FListener, *this);
    } catch (const std::exception& e) {
      FError = e.what();
    }
  });
}

TScriptedServer::~TScriptedServer() { Finish(); }

void TScriptedServer::Release() {
  {
    std::lock_guard lock(FLock);
    FRelease = true;
  }
  FReleased.notify_all();
}

bool TScriptedServer::AwaitRelease(int timeoutMs) {
  std::unique_lock lock(FLock);
  return FReleased.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FRelease; });
}

std::string TScriptedServer::Finish() {
  Release();
  if (FThread.joinable()) FThread.join();
  return FError;
}
