#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <utility>

#include "AEErrors.h"
#include "AESocket.h"
#include "AETextWin32.h"
#include "AEUdp.h"

namespace {

// IPv4 or IPv6 digits into addr; false for anything else (a name).
bool ParseNumericAddress(const std::string& text, std::uint16_t port, sockaddr_storage& addr, int& len) {
  const std::wstring wide = Utf8ToWide(text);
  addr = {};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
  if (InetPtonW(AF_INET, wide.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    len = sizeof(sockaddr_in);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (InetPtonW(AF_INET6, wide.c_str(), &v6->sin6_addr) == 1) {
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
  SOCKET Sock = INVALID_SOCKET;
  sockaddr_storage Addr{};
  int AddrLen = 0;

  ~TImpl() { Close(); }
  void Close() {
    if (Sock != INVALID_SOCKET) closesocket(Sock);  // nothing pending that a close error could lose
    Sock = INVALID_SOCKET;
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
  int len = 0;
  return ParseNumericAddress(text, 0, addr, len);
}

std::string TAEUdpSender::SystemResolve(const std::string& host) {
  EnsureSocketsStarted();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr)
    throw EAEOsError("cannot resolve " + host + ": " + Win32ErrorText(static_cast<DWORD>(rc)), rc);
  char text[NI_MAXHOST] = {};
  const int named = getnameinfo(found->ai_addr, static_cast<socklen_t>(found->ai_addrlen), text, sizeof text,
                                nullptr, 0, NI_NUMERICHOST);
  freeaddrinfo(found);
  if (named != 0)
    throw EAEOsError("cannot resolve " + host + ": " + Win32ErrorText(static_cast<DWORD>(named)), named);
  return text;
}

void TAEUdpSender::Aim(const std::string& address) {
  sockaddr_storage addr;
  int len = 0;
  if (!ParseNumericAddress(address, FImpl->Port, addr, len))
    throw EAEOsError("UDP: " + FImpl->Where + " resolved to an unusable address " + address, 0);
  if (FImpl->Sock != INVALID_SOCKET && addr.ss_family != FImpl->Addr.ss_family) FImpl->Close();
  FImpl->Addr = addr;
  FImpl->AddrLen = len;
}

void TAEUdpSender::SendTo(std::span<const std::uint8_t> bytes) {
  if (FImpl->Sock == INVALID_SOCKET) {
    EnsureSocketsStarted();
    FImpl->Sock = socket(FImpl->Addr.ss_family, SOCK_DGRAM, IPPROTO_UDP);
    if (FImpl->Sock == INVALID_SOCKET) {
      const int err = WSAGetLastError();
      throw EAEOsError("UDP: cannot create a socket for " + FImpl->Where + ": " +
                           Win32ErrorText(static_cast<DWORD>(err)), err);
    }
  }
  const int n = sendto(FImpl->Sock, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
                       reinterpret_cast<const sockaddr*>(&FImpl->Addr), FImpl->AddrLen);
  if (n != SOCKET_ERROR) return;
  const int err = WSAGetLastError();
  FImpl->Close();  // a fresh socket next time
  throw EAEOsError("UDP: send to " + FImpl->Where + " failed: " + Win32ErrorText(static_cast<DWORD>(err)), err);
}
