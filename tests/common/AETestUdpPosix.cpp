#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "AETestUdp.h"

struct TTestUdpReceiver::TImpl {
  int Fd = -1;
  std::uint16_t Port = 0;
};

TTestUdpReceiver::TTestUdpReceiver() : FImpl(std::make_unique<TImpl>()) {
  FImpl->Fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (FImpl->Fd < 0) throw std::runtime_error("socket");
  const int big = 8 << 20;
  ::setsockopt(FImpl->Fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(FImpl->Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
  socklen_t len = sizeof a;
  ::getsockname(FImpl->Fd, reinterpret_cast<sockaddr*>(&a), &len);
  FImpl->Port = ntohs(a.sin_port);
}

TTestUdpReceiver::~TTestUdpReceiver() { ::close(FImpl->Fd); }

std::uint16_t TTestUdpReceiver::Port() const { return FImpl->Port; }

bool TTestUdpReceiver::Receive(std::vector<std::uint8_t>& datagram, int timeoutMs) {
  pollfd p{FImpl->Fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  datagram.resize(65536);
  const ssize_t n = ::recv(FImpl->Fd, datagram.data(), datagram.size(), 0);
  if (n < 0) return false;
  datagram.resize(static_cast<std::size_t>(n));
  return true;
}

std::uint16_t FreeLoopbackTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind tcp");
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}
