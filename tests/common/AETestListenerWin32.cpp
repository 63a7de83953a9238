#include <winsock2.h>
#include <ws2tcpip.h>

#include "AETestListener.h"

namespace {

SOCKET Sock(TAESocket::THandle h) { return static_cast<SOCKET>(h); }

[[noreturn]] void ThrowLast() { throw EAESocketError(::WSAGetLastError()); }

// select() for one socket to read: 1 ready, 0 time-out; raises on error.
int WaitReadable(SOCKET s, int timeoutMs) {
  fd_set rd, ex;
  FD_ZERO(&rd);
  FD_ZERO(&ex);
  FD_SET(s, &rd);
  FD_SET(s, &ex);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int r = ::select(0, &rd, nullptr, &ex, &tv);
  if (r == SOCKET_ERROR) ThrowLast();
  return r > 0 ? 1 : 0;
}

// A TCP socket bound to 127.0.0.1:port; the port it got. With SO_REUSEADDR set only
// where asked: on a listener another bind could take its address over.
std::uint16_t BindLoopback(TAESocket& socket, std::uint16_t port, bool reuse) {
  EnsureSocketsStarted();
  socket = TAESocket(static_cast<TAESocket::THandle>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
  const SOCKET h = Sock(socket.Handle());
  if (h == INVALID_SOCKET) ThrowLast();
  const BOOL one = TRUE;
  if (reuse) ::setsockopt(h, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(h, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) ThrowLast();
  int len = sizeof addr;
  ::getsockname(h, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

}  // namespace

TAETcpListener TAETcpListener::Loopback(std::uint16_t port) {
  TAETcpListener l;
  l.FPort = BindLoopback(l.FSocket, port, false);
  if (::listen(Sock(l.FSocket.Handle()), 16) == SOCKET_ERROR) ThrowLast();
  return l;
}

TAEHeldPort TAEHeldPort::Loopback() {
  TAEHeldPort p;
  p.FPort = BindLoopback(p.FSocket, 0, true);
  return p;
}

TAESocket TAETcpListener::Accept(int timeoutMs) {
  if (!FSocket.IsOpen()) throw EAESocketError(WSAENOTSOCK);
  if (WaitReadable(Sock(FSocket.Handle()), timeoutMs) == 0) return TAESocket();
  const SOCKET c = ::accept(Sock(FSocket.Handle()), nullptr, nullptr);
  if (c == INVALID_SOCKET) ThrowLast();
  const int one = 1;
  ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return TAESocket(static_cast<TAESocket::THandle>(c));
}
