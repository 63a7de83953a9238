#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

#include "AETestUdp.h"

struct TTestUdpReceiver::TImpl {
  SOCKET Sock = INVALID_SOCKET;
  std::uint16_t Port = 0;
};

TTestUdpReceiver::TTestUdpReceiver() : FImpl(std::make_unique<TImpl>()) {
  WSADATA data{};
  WSAStartup(MAKEWORD(2, 2), &data);
  FImpl->Sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (FImpl->Sock == INVALID_SOCKET) throw std::runtime_error("socket");
  const int big = 8 << 20;
  setsockopt(FImpl->Sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&big), sizeof big);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(FImpl->Sock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
  int len = sizeof a;
  getsockname(FImpl->Sock, reinterpret_cast<sockaddr*>(&a), &len);
  FImpl->Port = ntohs(a.sin_port);
}

TTestUdpReceiver::~TTestUdpReceiver() { closesocket(FImpl->Sock); }

std::uint16_t TTestUdpReceiver::Port() const { return FImpl->Port; }

bool TTestUdpReceiver::Receive(std::vector<std::uint8_t>& datagram, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(FImpl->Sock, &set);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (select(0, &set, nullptr, nullptr, &tv) <= 0) return false;
  datagram.resize(65536);
  const int n = recv(FImpl->Sock, reinterpret_cast<char*>(datagram.data()), static_cast<int>(datagram.size()), 0);
  if (n < 0) return false;
  datagram.resize(static_cast<std::size_t>(n));
  return true;
}

std::uint16_t FreeLoopbackTcpPort() {
  WSADATA data{};
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    throw std::runtime_error("bind tcp");
  int len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  closesocket(s);
  return ntohs(a.sin_port);
}
