#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "AETestListener.h"

namespace {

int Fd(TAESocket::THandle h) { return static_cast<int>(h); }

// poll() restarted after a signal, with the time left.
int PollOne(int fd, short events, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r >= 0 || errno != EINTR) return r;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
  }
}

// A TCP socket bound to 127.0.0.1:port with SO_REUSEADDR; the port it got.
std::uint16_t BindLoopback(TAESocket& socket, std::uint16_t port) {
  socket = TAESocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.IsOpen()) throw EAESocketError(errno);
  const int fd = Fd(socket.Handle());
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) throw EAESocketError(errno);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

}  // namespace

TAETcpListener TAETcpListener::Loopback(std::uint16_t port) {
  TAETcpListener l;
  l.FPort = BindLoopback(l.FSocket, port);
  if (::listen(Fd(l.FSocket.Handle()), 16) != 0) throw EAESocketError(errno);
  return l;
}

TAEHeldPort TAEHeldPort::Loopback() {
  TAEHeldPort p;
  p.FPort = BindLoopback(p.FSocket, 0);
  return p;
}

TAESocket TAETcpListener::Accept(int timeoutMs) {
  if (!FSocket.IsOpen()) throw EAESocketError(EBADF);
  const int r = PollOne(Fd(FSocket.Handle()), POLLIN, timeoutMs);
  if (r < 0) throw EAESocketError(errno);
  if (r == 0) return TAESocket();
  const int fd = ::accept4(Fd(FSocket.Handle()), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) throw EAESocketError(errno);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return TAESocket(fd);
}
