#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

#include "AESocket.h"
#include "AETextWin32.h"

namespace {

SOCKET Sock(TAESocket::THandle h) { return static_cast<SOCKET>(h); }

[[noreturn]] void ThrowLast() { throw EAESocketError(::WSAGetLastError()); }

// select() for one socket: 1 ready, 0 time-out; raises on error.
int WaitOne(SOCKET s, bool forWrite, int timeoutMs) {
  fd_set rw, ex;
  FD_ZERO(&rw);
  FD_ZERO(&ex);
  FD_SET(s, &rw);
  FD_SET(s, &ex);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int r = ::select(0, forWrite ? nullptr : &rw, forWrite ? &rw : nullptr, &ex, &tv);
  if (r == SOCKET_ERROR) ThrowLast();
  return r > 0 ? 1 : 0;
}

void SetBlocking(SOCKET s, bool blocking) {
  u_long nb = blocking ? 0 : 1;
  ::ioctlsocket(s, FIONBIO, &nb);
}

sockaddr_in ResolveIpv4(const std::string& host, std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1) return addr;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) throw EAESocketError(rc != 0 ? rc : WSAHOST_NOT_FOUND);
  addr.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  ::freeaddrinfo(res);
  return addr;
}

// Owns a WSA event; closes it when destroyed.
class TScopedEvent {
 public:
  TScopedEvent() : FEvent(::WSACreateEvent()) {
    if (FEvent == WSA_INVALID_EVENT) ThrowLast();
  }
  TScopedEvent(const TScopedEvent&) = delete;
  TScopedEvent& operator=(const TScopedEvent&) = delete;
  ~TScopedEvent() { ::WSACloseEvent(FEvent); }
  WSAEVENT Get() const { return FEvent; }

 private:
  WSAEVENT FEvent;
};

}  // namespace

// A manual-reset event, set exactly while cancelled: a connect waits on it beside its
// socket's own event.
struct TAEConnectCancel::TImpl {
  TScopedEvent Event;
  std::mutex Lock;
  std::atomic<bool> Cancelled{false};
};

TAEConnectCancel::TAEConnectCancel() {
  EnsureSocketsStarted();
  FImpl = std::make_unique<TImpl>();
}

TAEConnectCancel::~TAEConnectCancel() = default;

void TAEConnectCancel::Cancel() {
  std::lock_guard lock(FImpl->Lock);
  FImpl->Cancelled = true;
  ::WSASetEvent(FImpl->Event.Get());
}

void TAEConnectCancel::Reset() {
  std::lock_guard lock(FImpl->Lock);
  FImpl->Cancelled = false;
  ::WSAResetEvent(FImpl->Event.Get());
}

bool TAEConnectCancel::IsCancelled() const { return FImpl->Cancelled.load(); }

EAESocketError::EAESocketError(int code) : EAESocketError(code, Win32ErrorText(static_cast<DWORD>(code))) {}

bool IsConnectionEndedError(int code) {
  return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN || code == WSAENOTCONN;
}

TAESocket TAESocket::Connect(const std::string& host, std::uint16_t port, int connectTimeoutMs,
                             TAEConnectCancel* cancel) {
  if (cancel != nullptr && cancel->IsCancelled()) throw EAEConnectCancelled();
  EnsureSocketsStarted();
  const sockaddr_in addr = ResolveIpv4(host, port);
  TAESocket s(static_cast<THandle>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
  if (Sock(s.FHandle) == INVALID_SOCKET) ThrowLast();
  const SOCKET h = Sock(s.FHandle);
  // Non-blocking only for the connect (the event selection makes it so), so that its
  // wait is bounded and a cancel's event can end it.
  TScopedEvent connected;
  if (::WSAEventSelect(h, connected.Get(), FD_CONNECT) == SOCKET_ERROR) ThrowLast();
  if (::connect(h, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) {
    const int err = ::WSAGetLastError();
    if (err != WSAEWOULDBLOCK) throw EAESocketError(err);
    const WSAEVENT events[2] = {connected.Get(), cancel != nullptr ? cancel->FImpl->Event.Get() : nullptr};
    const DWORD r = ::WSAWaitForMultipleEvents(cancel != nullptr ? 2 : 1, events, FALSE,
                                               static_cast<DWORD>(std::max(connectTimeoutMs, 0)), FALSE);
    if (r == WSA_WAIT_FAILED) ThrowLast();
    if (r == WSA_WAIT_TIMEOUT) throw EAEConnectTimeout();
    if (r == WSA_WAIT_EVENT_0 + 1) throw EAEConnectCancelled();
    WSANETWORKEVENTS happened{};
    if (::WSAEnumNetworkEvents(h, connected.Get(), &happened) == SOCKET_ERROR) ThrowLast();
    if ((happened.lNetworkEvents & FD_CONNECT) != 0 && happened.iErrorCode[FD_CONNECT_BIT] != 0)
      throw EAESocketError(happened.iErrorCode[FD_CONNECT_BIT]);
  }
  ::WSAEventSelect(h, nullptr, 0);
  SetBlocking(h, true);
  return s;
}

void TAESocket::SendAll(std::span<const std::uint8_t> data, int stallTimeoutMs) {
  if (!IsOpen()) throw EAESocketError(WSAENOTCONN);
  std::size_t done = 0;
  while (done < data.size()) {
    // Wait for room first, so that a peer that stops reading cannot block us for ever.
    if (WaitOne(Sock(FHandle), true, stallTimeoutMs) == 0) throw EAESocketError(WSAETIMEDOUT);
    const std::size_t chunk = std::min<std::size_t>(data.size() - done, 1 << 20);
    const int n = ::send(Sock(FHandle), reinterpret_cast<const char*>(data.data() + done), static_cast<int>(chunk), 0);
    if (n == SOCKET_ERROR) ThrowLast();
    done += static_cast<std::size_t>(n);
  }
}

std::ptrdiff_t TAESocket::Receive(std::span<std::uint8_t> buf, int timeoutMs) {
  if (!IsOpen()) throw EAESocketError(WSAENOTCONN);
  if (WaitOne(Sock(FHandle), false, timeoutMs) == 0) return -1;
  const int n = ::recv(Sock(FHandle), reinterpret_cast<char*>(buf.data()), static_cast<int>(buf.size()), 0);
  if (n == SOCKET_ERROR) {
    const int err = ::WSAGetLastError();
    if (err == WSAETIMEDOUT || err == WSAEWOULDBLOCK) return -1;
    throw EAESocketError(err);
  }
  return n;
}

void TAESocket::Shutdown() {
  if (IsOpen()) ::shutdown(Sock(FHandle), SD_BOTH);  // WSAENOTCONN after the peer left is fine
}

void TAESocket::Close() {
  if (IsOpen()) ::closesocket(Sock(Release()));  // the handle is released even when close reports an error
}
