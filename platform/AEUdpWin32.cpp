#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <utility>

#include "AEErrors.h"
#include "AESocket.h"
#include "AETextWin32.h"
#include "AEUdp.h"

struct TAEUdpSender::TImpl {
  std::string Host;
  std::uint16_t Port = 0;
  SOCKET Sock = INVALID_SOCKET;
  sockaddr_storage Addr{};
  int AddrLen = 0;

  std::string Where() const { return Host + ":" + std::to_string(Port); }

  void Close() {
    if (Sock != INVALID_SOCKET) closesocket(Sock);  // nothing pending that a close error could lose
    Sock = INVALID_SOCKET;
  }

  void Open() {
    EnsureSocketsStarted();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &hints, &found);
    if (rc != 0 || found == nullptr)
      throw EAEOsError("UDP: cannot resolve " + Where() + ": " + Win32ErrorText(static_cast<DWORD>(rc)), rc);
    std::memcpy(&Addr, found->ai_addr, found->ai_addrlen);
    AddrLen = static_cast<int>(found->ai_addrlen);
    const int family = found->ai_family;
    freeaddrinfo(found);
    Sock = socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (Sock == INVALID_SOCKET) {
      const int err = WSAGetLastError();
      throw EAEOsError("UDP: cannot create a socket for " + Where() + ": " + Win32ErrorText(static_cast<DWORD>(err)), err);
    }
  }
};

TAEUdpSender::TAEUdpSender(std::string host, std::uint16_t port) : FImpl(std::make_unique<TImpl>()) {
  FImpl->Host = std::move(host);
  FImpl->Port = port;
}

TAEUdpSender::~TAEUdpSender() { FImpl->Close(); }

void TAEUdpSender::Send(std::span<const std::uint8_t> bytes) {
  if (FImpl->Sock == INVALID_SOCKET) FImpl->Open();
  const int n = sendto(FImpl->Sock, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
                       reinterpret_cast<const sockaddr*>(&FImpl->Addr), FImpl->AddrLen);
  if (n != SOCKET_ERROR) return;
  const int err = WSAGetLastError();
  FImpl->Close();  // resolve afresh next time: the address may have changed
  throw EAEOsError("UDP: send to " + FImpl->Where() + " failed: " + Win32ErrorText(static_cast<DWORD>(err)), err);
}
