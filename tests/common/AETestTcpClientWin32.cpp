#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <stdexcept>

#include "common/AETestTcpClient.h"

namespace {

void EnsureWinsock() {
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) throw std::runtime_error("WSAStartup failed");
}

SOCKET S(std::intptr_t s) { return static_cast<SOCKET>(s); }

bool MakeAddress(const std::string& host, std::uint16_t port, sockaddr_storage& addr, int& len) {
  addr = {};
  auto& a4 = reinterpret_cast<sockaddr_in&>(addr);
  if (inet_pton(AF_INET, host.c_str(), &a4.sin_addr) == 1) {
    a4.sin_family = AF_INET;
    a4.sin_port = htons(port);
    len = sizeof a4;
    return true;
  }
  auto& a6 = reinterpret_cast<sockaddr_in6&>(addr);
  if (inet_pton(AF_INET6, host.c_str(), &a6.sin6_addr) == 1) {
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(port);
    len = sizeof a6;
    return true;
  }
  return false;
}

bool WaitReadable(SOCKET s, std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  WSAPOLLFD p{s, POLLRDNORM, 0};
  return WSAPoll(&p, 1, static_cast<INT>(left.count())) != 0;  // an error: let recv report it
}

}  // namespace

TAETestTcpClient::TAETestTcpClient(const std::string& host, std::uint16_t port)
    : FSocket(static_cast<std::intptr_t>(INVALID_SOCKET)) {
  EnsureWinsock();
  sockaddr_storage addr;
  int len = 0;
  if (!MakeAddress(host, port, addr, len)) throw std::runtime_error("not a numeric address: " + host);
  const SOCKET s = socket(addr.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket failed: " + std::to_string(WSAGetLastError()));
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    const int err = WSAGetLastError();
    closesocket(s);
    throw std::runtime_error("connect " + host + ":" + std::to_string(port) + " failed: " + std::to_string(err));
  }
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  FSocket = static_cast<std::intptr_t>(s);
}

TAETestTcpClient::~TAETestTcpClient() {
  if (S(FSocket) != INVALID_SOCKET) closesocket(S(FSocket));
}

void TAETestTcpClient::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const int n = send(S(FSocket), bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)), 0);
    if (n == SOCKET_ERROR) throw std::runtime_error("send failed: " + std::to_string(WSAGetLastError()));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string TAETestTcpClient::Receive(std::size_t n, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string out;
  char buf[65536];
  while (out.size() < n && WaitReadable(S(FSocket), deadline)) {
    const int want = static_cast<int>(std::min(sizeof buf, n - out.size()));
    const int got = recv(S(FSocket), buf, want, 0);
    if (got <= 0) break;
    out.append(buf, static_cast<std::size_t>(got));
  }
  return out;
}

bool TAETestTcpClient::WaitForEnd(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!WaitReadable(S(FSocket), deadline)) return false;
  char c;
  return recv(S(FSocket), &c, 1, 0) <= 0;
}

void TAETestTcpClient::ShutdownSend() { shutdown(S(FSocket), SD_SEND); }

void TAETestTcpClient::Reset() {
  linger l{1, 0};
  setsockopt(S(FSocket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  closesocket(S(FSocket));
  FSocket = static_cast<std::intptr_t>(INVALID_SOCKET);
}

bool TAETestTcpClient::HasIPv6Loopback() {
  EnsureWinsock();
  const SOCKET s = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  closesocket(s);
  return ok;
}
