#include "AEWssTestSocket.h"

#include <chrono>
#include <stdexcept>
#include <utility>

namespace {
int Remaining(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
}  // namespace

void TTestSocket::Close() {
  FSocket.Close();
  FListener.Close();
}

TTestSocket TTestSocket::Listen(std::uint16_t& port) {
  TTestSocket s;
  s.FListener = TAETcpListener::Loopback();
  port = s.FListener.Port();
  return s;
}

bool TTestSocket::CanConnect(std::uint16_t port) {
  try {
    TAESocket::Connect("127.0.0.1", port, 5000);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<TTestSocket> TTestSocket::Accept(int timeoutMs) {
  TTestSocket c;
  c.FSocket = FListener.Accept(timeoutMs);
  if (!c.FSocket.IsOpen()) return std::nullopt;
  return c;
}

void TTestSocket::SendAll(const std::string& bytes) {
  FSocket.SendAll(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<std::string> TTestSocket::RecvSome(int timeoutMs, std::size_t max) {
  if (!FPending.empty()) return std::exchange(FPending, std::string());
  std::string buf(max, '\0');
  std::ptrdiff_t n;
  try {
    n = FSocket.Receive(std::span(reinterpret_cast<std::uint8_t*>(buf.data()), max), timeoutMs);
  } catch (const EAESocketError&) {
    return std::nullopt;  // reset: ended all the same
  }
  if (n < 0) return std::string();
  if (n == 0) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

std::optional<std::string> TTestSocket::RecvExactly(std::size_t n, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string out;
  while (out.size() < n) {
    if (!FPending.empty()) {
      const std::size_t take = std::min(n - out.size(), FPending.size());
      out += FPending.substr(0, take);
      FPending.erase(0, take);
      continue;
    }
    const int left = Remaining(deadline);
    if (left == 0) return std::nullopt;
    auto part = RecvSome(left, n - out.size());
    if (!part) return std::nullopt;
    out += *part;
  }
  return out;
}

std::optional<std::string> TTestSocket::RecvHttpHead(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string head = std::exchange(FPending, std::string());
  for (;;) {
    const auto end = head.find("\r\n\r\n");
    if (end != std::string::npos) {
      FPending = head.substr(end + 4);
      head.resize(end + 4);
      return head;
    }
    const int left = Remaining(deadline);
    if (left == 0) return std::nullopt;
    auto part = RecvSome(left);
    if (!part) return std::nullopt;
    head += *part;
  }
}

bool TTestSocket::WaitPeerClosed(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  FPending.clear();
  while (Remaining(deadline) > 0) {
    if (!RecvSome(Remaining(deadline))) return true;
  }
  return false;
}
