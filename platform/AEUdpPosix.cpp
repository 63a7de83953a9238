#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "AEErrors.h"
#include "AEUdp.h"

struct TAEUdpSender::TImpl {
  std::string Host;
  std::uint16_t Port = 0;
  int Fd = -1;
  sockaddr_storage Addr{};
  socklen_t AddrLen = 0;

  std::string Where() const { return Host + ":" + std::to_string(Port); }

  void Close() {
    if (Fd >= 0) ::close(Fd);  // nothing was sent through it that a close error could lose
    Fd = -1;
  }

  void Open() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &hints, &found);
    if (rc != 0 || found == nullptr)
      throw EAEOsError("UDP: cannot resolve " + Where() + ": " + ::gai_strerror(rc), rc);
    std::memcpy(&Addr, found->ai_addr, found->ai_addrlen);
    AddrLen = found->ai_addrlen;
    const int family = found->ai_family;
    ::freeaddrinfo(found);
    Fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (Fd < 0) throw EAEOsError("UDP: cannot create a socket for " + Where() + ": " + std::strerror(errno), errno);
  }
};

TAEUdpSender::TAEUdpSender(std::string host, std::uint16_t port) : FImpl(std::make_unique<TImpl>()) {
  FImpl->Host = std::move(host);
  FImpl->Port = port;
}

TAEUdpSender::~TAEUdpSender() { FImpl->Close(); }

void TAEUdpSender::Send(std::span<const std::uint8_t> bytes) {
  if (FImpl->Fd < 0) FImpl->Open();
  for (;;) {
    const ssize_t n = ::sendto(FImpl->Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&FImpl->Addr), FImpl->AddrLen);
    if (n >= 0) return;
    if (errno == EINTR) continue;
    const int err = errno;
    FImpl->Close();  // resolve afresh next time: the address may have changed
    throw EAEOsError("UDP: send to " + FImpl->Where() + " failed: " + std::strerror(err), err);
  }
}
