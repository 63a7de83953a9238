#include "AEWssTestSocket.h"

#include <chrono>
#include <stdexcept>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using TNative = SOCKET;
using TSockLen = int;
static int PollOne(TNative s, short events, int timeoutMs) {
  WSAPOLLFD p{s, events, 0};
  return WSAPoll(&p, 1, timeoutMs);
}
static void CloseNative(TNative s) { closesocket(s); }
static void StartNetwork() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("WSAStartup failed");
}
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using TNative = int;
using TSockLen = socklen_t;
static int PollOne(TNative s, short events, int timeoutMs) {
  pollfd p{s, events, 0};
  return poll(&p, 1, timeoutMs);
}
static void CloseNative(TNative s) { close(s); }
static void StartNetwork() {}
#endif

namespace {
TNative Native(std::intptr_t h) { return static_cast<TNative>(h); }

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

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
  if (FHandle != kNone) CloseNative(Native(FHandle));
  FHandle = kNone;
}

TTestSocket TTestSocket::Listen(std::uint16_t& port) {
  StartNetwork();
  TNative s = socket(AF_INET, SOCK_STREAM, 0);
  TTestSocket owner(static_cast<THandle>(s));
  sockaddr_in a = Loopback(0);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 8) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  TSockLen len = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return owner;
}

bool TTestSocket::CanConnect(std::uint16_t port) {
  StartNetwork();
  TNative s = socket(AF_INET, SOCK_STREAM, 0);
  TTestSocket owner(static_cast<THandle>(s));
  sockaddr_in a = Loopback(port);
  return connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
}

std::uint16_t TTestSocket::UnusedPort() {
  std::uint16_t port = 0;
  Listen(port);  // closed again at once: nothing listens there afterwards
  return port;
}

std::optional<TTestSocket> TTestSocket::Accept(int timeoutMs) {
  if (PollOne(Native(FHandle), POLLIN, timeoutMs) <= 0) return std::nullopt;
  TNative c = accept(Native(FHandle), nullptr, nullptr);
  if (c == static_cast<TNative>(kNone)) return std::nullopt;
  int one = 1;
  // Each SendAll leaves as its own segment, so a split answer stays split.
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
  return TTestSocket(static_cast<THandle>(c));
}

void TTestSocket::SendAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto n = send(Native(FHandle), bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
    if (n <= 0) throw std::runtime_error("scripted peer: send failed");
    done += static_cast<std::size_t>(n);
  }
}

std::optional<std::string> TTestSocket::RecvSome(int timeoutMs, std::size_t max) {
  if (!FPending.empty()) return std::exchange(FPending, std::string());
  if (PollOne(Native(FHandle), POLLIN, timeoutMs) <= 0) return std::string();
  std::string buf(max, '\0');
  const auto n = recv(Native(FHandle), buf.data(), static_cast<int>(max), 0);
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
