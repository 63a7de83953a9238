#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

#include "AEWssTestSocketBackend.h"

namespace {
sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

SOCKET Native(std::intptr_t s) { return static_cast<SOCKET>(s); }

void StartNetwork() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("WSAStartup failed");
}
}  // namespace

std::intptr_t TestSocketListen(std::uint16_t& port) {
  StartNetwork();
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 8) != 0) {
    if (s != INVALID_SOCKET) closesocket(s);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  int len = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return static_cast<std::intptr_t>(s);
}

bool TestSocketCanConnect(std::uint16_t port) {
  StartNetwork();
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  const bool connected = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  if (s != INVALID_SOCKET) closesocket(s);
  return connected;
}

std::intptr_t TestSocketAccept(std::intptr_t listener, int timeoutMs) {
  if (!TestSocketReadable(listener, timeoutMs)) return -1;
  const SOCKET c = accept(Native(listener), nullptr, nullptr);
  if (c == INVALID_SOCKET) return -1;
  int one = 1;
  // Each SendAll leaves as its own segment, so a split answer stays split.
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
  return static_cast<std::intptr_t>(c);
}

bool TestSocketReadable(std::intptr_t s, int timeoutMs) {
  WSAPOLLFD p{Native(s), POLLIN, 0};
  return WSAPoll(&p, 1, timeoutMs) > 0;
}

std::ptrdiff_t TestSocketSend(std::intptr_t s, const char* data, std::size_t size) {
  return send(Native(s), data, static_cast<int>(size), 0);
}

std::ptrdiff_t TestSocketRecv(std::intptr_t s, char* data, std::size_t size) {
  return recv(Native(s), data, static_cast<int>(size), 0);
}

void TestSocketClose(std::intptr_t s) { closesocket(Native(s)); }
