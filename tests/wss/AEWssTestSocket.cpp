#include "AEWssTestSocket.h"

#include <chrono>
#include <stdexcept>
#include <utility>

#include "AEWssTestSocketBackend.h"

namespace {
int Remaining(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
}  // namespace

TTestSocket::TTestSocket(TTestSocket&& o) noexcept
    : FHandle(std::exchange(o.FHandle, kNone)), FPending(std::move(o.FPending)) {}

TTestSocket& TTestSocket::operator=(TTestSocket&& o) noexcept {
  if (this != &o) {
    Close();
    FHandle = std::exchange(o.FHandle, kNone);
    FPending = std::move(o.FPending);
  }
  return *this;
}

void TTestSocket::Close() {
  if (FHandle != kNone) TestSocketClose(FHandle);
  FHandle = kNone;
}

TTestSocket TTestSocket::Listen(std::uint16_t& port) { return TTestSocket(TestSocketListen(port)); }

bool TTestSocket::CanConnect(std::uint16_t port) { return TestSocketCanConnect(port); }

std::uint16_t TTestSocket::UnusedPort() {
  std::uint16_t port = 0;
  Listen(port);  // closed again at once: nothing listens there afterwards
  return port;
}

std::optional<TTestSocket> TTestSocket::Accept(int timeoutMs) {
  const THandle c = TestSocketAccept(FHandle, timeoutMs);
  if (c == kNone) return std::nullopt;
  return TTestSocket(c);
}

void TTestSocket::SendAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto n = TestSocketSend(FHandle, bytes.data() + done, bytes.size() - done);
    if (n <= 0) throw std::runtime_error("scripted peer: send failed");
    done += static_cast<std::size_t>(n);
  }
}

std::optional<std::string> TTestSocket::RecvSome(int timeoutMs, std::size_t max) {
  if (!FPending.empty()) return std::exchange(FPending, std::string());
  if (!TestSocketReadable(FHandle, timeoutMs)) return std::string();
  std::string buf(max, '\0');
  const auto n = TestSocketRecv(FHandle, buf.data(), max);
  if (n <= 0) return std::nullopt;
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
