#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "AEErrors.h"
#include "AEUdp.h"

namespace {

// IPv4 or IPv6 digits into addr; false for anything else (a name).
bool ParseNumericAddress(const std::string& text, std::uint16_t port, sockaddr_storage& addr, socklen_t& len) {
  addr = {};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
  if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    len = sizeof(sockaddr_in);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    len = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

}  // namespace

struct TAEUdpSender::TImpl {
  std::string Where;
  std::uint16_t Port = 0;
  int Fd = -1;
  sockaddr_storage Addr{};
  socklen_t AddrLen = 0;

  ~TImpl() { Close(); }
  void Close() {
    if (Fd >= 0) ::close(Fd);  // nothing was sent through it that a close error could lose
    Fd = -1;
  }
};

TAEUdpSender::TAEUdpSender(std::string host, std::uint16_t port, TOnResolve onResolve, TResolver resolver,
                           std::chrono::milliseconds retry)
    : FImpl(std::make_unique<TImpl>()) {
  FImpl->Where = host + ":" + std::to_string(port);
  FImpl->Port = port;
  FLookup = NewLookup(std::move(host), port, std::move(onResolve), std::move(resolver), retry);
}

TAEUdpSender::~TAEUdpSender() { EndLookup(); }

bool TAEUdpSender::IsNumericAddress(const std::string& text) {
  sockaddr_storage addr;
  socklen_t len = 0;
  return ParseNumericAddress(text, 0, addr, len);
}

std::string TAEUdpSender::SystemResolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr)
    throw EAEOsError("cannot resolve " + host + ": " + (rc != 0 ? ::gai_strerror(rc) : "no address"), rc);
  char text[NI_MAXHOST] = {};
  const int named = ::getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
  ::freeaddrinfo(found);
  if (named != 0) throw EAEOsError("cannot resolve " + host + ": " + ::gai_strerror(named), named);
  return text;
}

void TAEUdpSender::Aim(const std::string& address) {
  sockaddr_storage addr;
  socklen_t len = 0;
  if (!ParseNumericAddress(address, FImpl->Port, addr, len))
    throw EAEOsError("UDP: " + FImpl->Where + " resolved to an unusable address " + address, 0);
  if (FImpl->Fd >= 0 && addr.ss_family != FImpl->Addr.ss_family) FImpl->Close();
  FImpl->Addr = addr;
  FImpl->AddrLen = len;
}

void TAEUdpSender::SendTo(std::span<const std::uint8_t> bytes) {
  if (FImpl->Fd < 0) {
    FImpl->Fd = ::socket(FImpl->Addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (FImpl->Fd < 0)
      throw EAEOsError("UDP: cannot create a socket for " + FImpl->Where + ": " + std::strerror(errno), errno);
  }
  for (;;) {
    const ssize_t n = ::sendto(FImpl->Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&FImpl->Addr), FImpl->AddrLen);
    if (n >= 0) return;
    if (errno == EINTR) continue;
    const int err = errno;
    FImpl->Close();  // a fresh socket next time
    throw EAEOsError("UDP: send to " + FImpl->Where + " failed: " + std::strerror(err), err);
  }
}
