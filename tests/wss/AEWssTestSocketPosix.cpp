#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

int Fd(std::intptr_t s) { return static_cast<int>(s); }
}  // namespace

std::intptr_t TestSocketListen(std::uint16_t& port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 8) != 0) {
    if (s >= 0) close(s);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  socklen_t len = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return s;
}

bool TestSocketCanConnect(std::uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  const bool connected = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  if (s >= 0) close(s);
  return connected;
}

std::intptr_t TestSocketAccept(std::intptr_t listener, int timeoutMs) {
  if (!TestSocketReadable(listener, timeoutMs)) return -1;
  const int c = accept(Fd(listener), nullptr, nullptr);
  if (c < 0) return -1;
  int one = 1;
  // Each SendAll leaves as its own segment, so a split answer stays split.
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return c;
}

bool TestSocketReadable(std::intptr_t s, int timeoutMs) {
  pollfd p{Fd(s), POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

std::ptrdiff_t TestSocketSend(std::intptr_t s, const char* data, std::size_t size) {
  return send(Fd(s), data, size, 0);
}

std::ptrdiff_t TestSocketRecv(std::intptr_t s, char* data, std::size_t size) { return recv(Fd(s), data, size, 0); }

void TestSocketClose(std::intptr_t s) { close(Fd(s)); }
