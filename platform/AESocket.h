// A small TCP client over the platform's sockets (Winsock or POSIX). IPv4 only.
//
// Errors raise EAESocketError, whose message is "Socket Error # <code>", CR LF, and the
// system's description; the code is errno (POSIX) or WSAGetLastError (Windows).
// Thread-safety: one socket object is used by one thread at a time, except Shutdown,
// which another thread may call to wake a blocked Receive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "AEErrors.h"

class EAESocketError : public EAEOsError {
 public:
  explicit EAESocketError(int code);
  EAESocketError(int code, const std::string& description);
  const char* ClassName() const noexcept override { return "ESocketError"; }
};

// Starts the socket library once per process (WSAStartup on Windows, nothing on POSIX).
// Thread-safe; every socket call of this layer calls it first, other socket code may too.
void EnsureSocketsStarted();

// True for the codes that mean the peer or the network ended the connection (reset,
// abort, shut down, broken pipe) rather than a fault of the call.
bool IsConnectionEndedError(int code);

// "Connect timed out." after connectTimeoutMs without an answer.
class EAEConnectTimeout : public EAEError {
 public:
  EAEConnectTimeout() : EAEError("Connect timed out.") {}
};

// "Connect cancelled." when a TAEConnectCancel ends the connect.
class EAEConnectCancelled : public EAEError {
 public:
  EAEConnectCancelled() : EAEError("Connect cancelled.") {}
};

// Lets another thread end a TAESocket::Connect at once, without waiting for its
// time-out. Cancel and IsCancelled: any thread, any time. It stays cancelled (every
// Connect given it fails at once) until Reset, which is not called while a Connect
// waits on it. Not movable: a Connect may be waiting on it.
class TAEConnectCancel {
 public:
  TAEConnectCancel();
  ~TAEConnectCancel();
  TAEConnectCancel(const TAEConnectCancel&) = delete;
  TAEConnectCancel& operator=(const TAEConnectCancel&) = delete;

  void Cancel();
  void Reset();
  bool IsCancelled() const;

 private:
  friend class TAESocket;
  struct TImpl;  // the backend's wake-up handle
  std::unique_ptr<TImpl> FImpl;
};

// Owns one connected socket; move-only, closes it when destroyed.
class TAESocket {
 public:
  using THandle = std::intptr_t;
  static constexpr THandle kInvalid = -1;

  TAESocket() = default;
  explicit TAESocket(THandle handle) : FHandle(handle) {}
  TAESocket(TAESocket&& other) noexcept : FHandle(other.Release()) {}
  TAESocket& operator=(TAESocket&& other) noexcept;
  TAESocket(const TAESocket&) = delete;
  TAESocket& operator=(const TAESocket&) = delete;
  ~TAESocket() { Close(); }

  // Resolves host to an IPv4 address (a dotted address is used as it is) and connects,
  // waiting at most connectTimeoutMs for the connect (name resolution has no limit of
  // its own). Raises EAESocketError or EAEConnectTimeout, or EAEConnectCancelled when
  // cancel (optional) is or becomes cancelled; nothing stays open on failure.
  static TAESocket Connect(const std::string& host, std::uint16_t port, int connectTimeoutMs,
                           TAEConnectCancel* cancel = nullptr);

  bool IsOpen() const { return FHandle != kInvalid; }
  THandle Handle() const { return FHandle; }
  // Writes every byte, continuing after partial writes. A write that makes no progress
  // for stallTimeoutMs raises (a peer that stops reading must not block us for ever).
  void SendAll(std::span<const std::uint8_t> data, int stallTimeoutMs = 30000);
  // Waits at most timeoutMs (0: no wait) until readable, then reads once, at most
  // buf.size() bytes. Result: bytes read (> 0), 0 for the peer's orderly close, -1 when
  // nothing arrived in time. Raises EAESocketError on any other failure.
  std::ptrdiff_t Receive(std::span<std::uint8_t> buf, int timeoutMs);
  // Ends both directions; a Receive blocked in another thread returns.
  void Shutdown();
  // Closes the socket (no effect when not open). A close error is ignored: the handle is
  // gone either way.
  void Close();
  THandle Release() {
    const THandle h = FHandle;
    FHandle = kInvalid;
    return h;
  }

 private:
  THandle FHandle = kInvalid;
};
