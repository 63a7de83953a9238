#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "AEErrors.h"
#include "AESocket.h"
#include "AESocketAddressPrivate.h"
#include "AETcpServerBackend.h"
#include "AETextWin32.h"

namespace {

// How long the accept loop waits for a signal before it looks for a connection anyway.
constexpr DWORD kAcceptRecheckMs = 200;

[[noreturn]] void ThrowSocketError(const std::string& step, int err) {
  throw EAEOsError(step + ": " + Win32ErrorText(static_cast<DWORD>(err)), err);
}

// Winsock must be started once per process before the first socket call; the socket
// layer does it for every user.
void EnsureWinsock() { EnsureSocketsStarted(); }

const char* FamilyName(TAEAddressFamily family) { return family == TAEAddressFamily::IPv4 ? "IPv4" : "IPv6"; }

class TScopedSocket {
 public:
  explicit TScopedSocket(SOCKET s = INVALID_SOCKET) : FSocket(s) {}
  TScopedSocket(TScopedSocket&& o) noexcept : FSocket(o.Release()) {}
  TScopedSocket& operator=(TScopedSocket&&) = delete;
  ~TScopedSocket() {
    if (FSocket != INVALID_SOCKET) ::closesocket(FSocket);  // nothing left that a close error could lose
  }
  SOCKET Get() const { return FSocket; }
  SOCKET Release() { return std::exchange(FSocket, INVALID_SOCKET); }

 private:
  SOCKET FSocket;
};

class TScopedEvent {
 public:
  TScopedEvent() : FEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (FEvent == nullptr) ThrowSocketError("Cannot create an event", static_cast<int>(GetLastError()));
  }
  TScopedEvent(const TScopedEvent&) = delete;
  TScopedEvent& operator=(const TScopedEvent&) = delete;
  ~TScopedEvent() { CloseHandle(FEvent); }
  HANDLE Get() const { return FEvent; }

 private:
  HANDLE FEvent;
};

// Reads and writes are overlapped and wait on the I/O event together with an abort
// event: a blocking recv() cannot be woken reliably from another thread on Windows
// (shutdown() does not promise it, and closesocket() would free a handle still in use).
class TWinAcceptedSocket final : public IAEAcceptedSocket {
 public:
  TWinAcceptedSocket(SOCKET s, std::string peer) : FSocket(s), FPeer(std::move(peer)) {}

  void ReadExact(void* buffer, std::size_t size) override { Read(buffer, size, std::nullopt); }

  void ReadRequest(void* buffer, std::size_t size, std::chrono::milliseconds completeWithin) override {
    Read(buffer, size, completeWithin);
  }

  void Write(const void* data, std::size_t size) override { Send(data, size, std::nullopt); }

  void WriteReply(const void* data, std::size_t size, std::chrono::milliseconds takenWithin) override {
    Send(data, size, takenWithin);
  }

  void Close() override {
    FOpen = false;
    ::shutdown(FSocket.Get(), SD_SEND);  // the peer sees the end right after the last reply
  }

  bool IsOpen() const override { return FOpen; }
  std::string PeerAddress() const override { return FPeer; }

  void Abort() override {
    FOpen = false;
    SetEvent(FAbort.Get());
  }

  // The thread of an idle connection waits in an overlapped read, which completes with
  // no bytes at the peer's end; its result tells without taking anything from it.
  bool PeerGone() override {
    std::lock_guard lock(FIdleReadLock);
    if (!FIdleRead) return false;
    DWORD done = 0;
    DWORD flags = 0;
    if (WSAGetOverlappedResult(FSocket.Get(), &FOv, &done, FALSE, &flags)) return done == 0;
    return WSAGetLastError() != WSA_IO_INCOMPLETE;
  }

  bool PeerUnseen() override {
    std::lock_guard lock(FIdleReadLock);
    return !FIdleRead && FOpen.load();
  }

 private:
  // Without a limit every wait is endless; with one, the bytes after the first must
  // come before the deadline that the first byte set.
  void Read(void* buffer, std::size_t size, std::optional<std::chrono::milliseconds> completeWithin) {
    auto* p = static_cast<char*>(buffer);
    std::optional<std::chrono::steady_clock::time_point> deadline;
    while (size > 0) {
      const DWORD waitMs = deadline ? MsUntil(*deadline) : INFINITE;
      const DWORD n = Transfer(true, p, size, waitMs, "the request was not whole in time", !deadline);
      if (n == 0) {
        FOpen = false;
        throw EAEOsError("Connection closed by " + FPeer, 0);
      }
      p += n;
      size -= n;
      if (!MarkBusy()) Taken();
      if (completeWithin && !deadline) deadline = std::chrono::steady_clock::now() + *completeWithin;
    }
  }

  // Without a limit every wait is endless; with one, the whole write must be done by
  // the deadline set at its start.
  void Send(const void* data, std::size_t size, std::optional<std::chrono::milliseconds> takenWithin) {
    if (!MarkBusy()) Taken();
    auto* p = const_cast<char*>(static_cast<const char*>(data));  // WSABUF is not const; WSASend only reads
    const auto deadline = std::chrono::steady_clock::now() + takenWithin.value_or(std::chrono::milliseconds{0});
    while (size > 0) {
      const DWORD waitMs = takenWithin ? MsUntil(deadline) : INFINITE;
      const DWORD n = Transfer(false, p, size, waitMs, "the reply was not taken in time", false);
      p += n;
      size -= n;
    }
    MarkIdle();  // the reply is out: the connection may be taken for another again
  }

  static DWORD MsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<DWORD>(std::max<std::int64_t>(left.count(), 0));
  }

  [[noreturn]] void Taken() {
    FOpen = false;
    throw EAEOsError("Connection to " + FPeer + " closed for a new one", WSAECONNABORTED);
  }

  // Returns the bytes moved; raises on failure, on Abort and when waitMs runs out.
  // idleRead marks the wait for a request's first byte, which PeerGone may look at.
  DWORD Transfer(bool receive, char* p, std::size_t size, DWORD waitMs, const char* lateText, bool idleRead) {
    const char* step = receive ? "Cannot read from " : "Cannot write to ";
    if (WaitForSingleObject(FAbort.Get(), 0) == WAIT_OBJECT_0) {
      FOpen = false;
      throw EAEOsError(step + FPeer + ": the server is shutting down", WSAESHUTDOWN);
    }
    WSABUF buf{static_cast<ULONG>(size > (1u << 30) ? (1u << 30) : size), p};
    std::unique_lock idleLock(FIdleReadLock, std::defer_lock);
    if (idleRead) idleLock.lock();  // PeerGone must not see FOv half set up
    FOv = OVERLAPPED{};
    ResetEvent(FIo.Get());
    FOv.hEvent = FIo.Get();
    DWORD done = 0;
    DWORD flags = 0;
    const int rc = receive ? WSARecv(FSocket.Get(), &buf, 1, &done, &flags, &FOv, nullptr)
                           : WSASend(FSocket.Get(), &buf, 1, &done, 0, &FOv, nullptr);
    // Done at once (a reply that fits the send buffer, a request already there): done
    // holds the count, and the two waits below would only cost time.
    if (rc == 0) return done;
    const int err = WSAGetLastError();
    if (err != WSA_IO_PENDING) {
      FOpen = false;
      ThrowSocketError(step + FPeer, err);
    }
    if (idleRead) {
      FIdleRead = true;
      idleLock.unlock();
    }
    const HANDLE events[2] = {FIo.Get(), FAbort.Get()};
    const DWORD woke = WaitForMultipleObjects(2, events, FALSE, waitMs);
    if (idleRead) {
      idleLock.lock();
      FIdleRead = false;
      idleLock.unlock();
    }
    if (woke != WAIT_OBJECT_0) {
      // Cancel, then wait for the cancellation to complete: the kernel must be done with
      // FOv and the buffer before they are used again.
      CancelIoEx(reinterpret_cast<HANDLE>(FSocket.Get()), &FOv);
      WSAGetOverlappedResult(FSocket.Get(), &FOv, &done, TRUE, &flags);
      FOpen = false;
      if (woke == WAIT_TIMEOUT) throw EAEOsError(step + FPeer + ": " + lateText, WSAETIMEDOUT);
      throw EAEOsError(step + FPeer + ": the server is shutting down", WSAESHUTDOWN);
    }
    if (!WSAGetOverlappedResult(FSocket.Get(), &FOv, &done, FALSE, &flags)) {
      FOpen = false;
      ThrowSocketError(step + FPeer, WSAGetLastError());
    }
    return done;
  }

  TScopedSocket FSocket;
  std::string FPeer;
  std::atomic<bool> FOpen{true};
  TScopedEvent FIo;
  TScopedEvent FAbort;
  OVERLAPPED FOv{};  // of the transfer in progress; only the connection's thread sets it up
  std::mutex FIdleReadLock;
  bool FIdleRead = false;  // FOv is a pending wait for a request's first byte; guarded by FIdleReadLock
};

class TWinListenSocket final : public IAEListenSocket {
 public:
  TWinListenSocket(TScopedSocket s, std::uint16_t port) : FSocket(std::move(s)), FPort(port) {
    if (WSAEventSelect(FSocket.Get(), FAccept.Get(), FD_ACCEPT) != 0)
      ThrowSocketError("Cannot listen on TCP port " + std::to_string(port), WSAGetLastError());
  }

  std::unique_ptr<IAEAcceptedSocket> Accept() override {
    for (;;) {
      // Once Deactivate has asked, pending connections are not taken.
      if (WaitForSingleObject(FWake.Get(), 0) == WAIT_OBJECT_0) return nullptr;
      // Accept first and wait only when nothing is pending: FD_ACCEPT is signalled once
      // per burst on some stacks, so waiting first would strand a backlog.
      // The peer's address is asked for afterwards: Wine fails accept() with an address
      // buffer for a peer that has already reset, and leaves that peer at the head of
      // the backlog, so every later connection would wait behind it.
      TScopedSocket conn(::accept(FSocket.Get(), nullptr, nullptr));
      if (conn.Get() == INVALID_SOCKET) {
        const int err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
          WaitForConnection();
          continue;
        }
        // A peer that reset before we got to it leaves nothing to accept: no error.
        if (err == WSAECONNRESET || err == WSAEINTR) continue;
        ThrowSocketError("Cannot accept a connection on TCP port " + std::to_string(FPort), err);
      }
      // The accepted socket inherits the listener's event selection and non-blocking
      // mode; undo both so that it is a plain socket.
      WSAEventSelect(conn.Get(), nullptr, 0);
      u_long blocking = 0;
      ioctlsocket(conn.Get(), FIONBIO, &blocking);
      const BOOL one = TRUE;
      // Replies go out as soon as they are written; a latency hint, serving works without it.
      setsockopt(conn.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
      SetHandleInformation(reinterpret_cast<HANDLE>(conn.Get()), HANDLE_FLAG_INHERIT, 0);
      sockaddr_storage addr{};
      int len = sizeof addr;
      getpeername(conn.Get(), reinterpret_cast<sockaddr*>(&addr), &len);  // "?" for a peer gone already
      return std::make_unique<TWinAcceptedSocket>(conn.Release(), DescribePeer(addr));
    }
  }

  void Wake() override { SetEvent(FWake.Get()); }
  std::uint16_t Port() const override { return FPort; }

 private:
  // The wait is bounded: Wine can record the FD_ACCEPT of a connection that accept()
  // has already taken, and then signal no later one until an accept succeeds, so a
  // connection could wait for ever. Looking again now and then costs next to nothing.
  void WaitForConnection() {
    const HANDLE events[2] = {FWake.Get(), FAccept.Get()};
    if (WaitForMultipleObjects(2, events, FALSE, kAcceptRecheckMs) == WAIT_FAILED)
      ThrowSocketError("Cannot wait for connections on TCP port " + std::to_string(FPort),
                       static_cast<int>(GetLastError()));
    WSANETWORKEVENTS happened{};
    WSAEnumNetworkEvents(FSocket.Get(), FAccept.Get(), &happened);  // resets the event
  }

  TScopedSocket FSocket;
  std::uint16_t FPort;
  TScopedEvent FAccept;
  TScopedEvent FWake;
};

}  // namespace

std::unique_ptr<IAEListenSocket> OpenTcpListener(TAEAddressFamily family, std::uint16_t port) {
  EnsureWinsock();
  const bool v6 = family == TAEAddressFamily::IPv6;
  const std::string what = "Cannot listen on TCP port " + std::to_string(port) + " (" + FamilyName(family) + ")";
  TScopedSocket s(WSASocketW(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
  if (s.Get() == INVALID_SOCKET) {
    const int err = WSAGetLastError();
    if (v6 && (err == WSAEAFNOSUPPORT || err == WSAEPROTONOSUPPORT)) return nullptr;  // no IPv6 here
    ThrowSocketError(what, err);
  }
  const BOOL one = TRUE;
  // Without exclusive use another program could bind the same port on a specific
  // address and take our connections; a refusal only loses that protection.
  setsockopt(s.Get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  if (v6 && setsockopt(s.Get(), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one), sizeof one) != 0)
    ThrowSocketError(what, WSAGetLastError());

  sockaddr_storage addr;
  int len = FillAnyAddress(v6, port, addr);
  if (::bind(s.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    const int err = WSAGetLastError();
    if (v6 && (err == WSAEADDRNOTAVAIL || err == WSAEAFNOSUPPORT)) return nullptr;  // IPv6 switched off
    ThrowSocketError(what, err);
  }
  if (::listen(s.Get(), SOMAXCONN) != 0) ThrowSocketError(what, WSAGetLastError());
  len = sizeof addr;
  if (::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) ThrowSocketError(what, WSAGetLastError());
  const std::uint16_t bound = PortOf(addr);
  return std::make_unique<TWinListenSocket>(std::move(s), bound);
}

bool IsAddressInUseError(int osError) { return osError == WSAEADDRINUSE || osError == WSAEACCES; }
