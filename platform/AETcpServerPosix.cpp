#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "AEPosixPrivate.h"
#include "AESocketAddressPrivate.h"
#include "AETcpServerBackend.h"

namespace {

[[noreturn]] void ThrowSocketError(const std::string& step, int err) {
  throw EAEOsError(step + ": " + std::strerror(err), err);
}

const char* FamilyName(TAEAddressFamily family) { return family == TAEAddressFamily::IPv4 ? "IPv4" : "IPv6"; }

class TPosixAcceptedSocket final : public IAEAcceptedSocket {
 public:
  TPosixAcceptedSocket(int fd, std::string peer) : FFd(fd), FPeer(std::move(peer)) {}

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
    ::shutdown(FFd.Get(), SHUT_WR);  // the peer sees the end right after the last reply
  }

  bool IsOpen() const override { return FOpen; }
  std::string PeerAddress() const override { return FPeer; }

  void Abort() override {
    FOpen = false;
    ::shutdown(FFd.Get(), SHUT_RDWR);  // also wakes the poll of a timed read or write
  }

  bool PeerGone() override {
    // A peek leaves a request that has arrived to the connection's own read.
    char byte;
    const ssize_t n = ::recv(FFd.Get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  }

 private:
  // Without a limit every recv blocks; with one, the bytes after the first are waited
  // for by poll against the deadline that the first byte set.
  void Read(void* buffer, std::size_t size, std::optional<std::chrono::milliseconds> completeWithin) {
    auto* p = static_cast<char*>(buffer);
    std::optional<std::chrono::steady_clock::time_point> deadline;
    while (size > 0) {
      if (deadline) WaitReadable(*deadline, *completeWithin);
      const ssize_t n = ::recv(FFd.Get(), p, size, 0);
      if (n > 0) {
        p += n;
        size -= static_cast<std::size_t>(n);
        if (!MarkBusy()) Taken();
        if (completeWithin && !deadline) deadline = std::chrono::steady_clock::now() + *completeWithin;
      } else if (n == 0) {
        FOpen = false;
        throw EAEOsError("Connection closed by " + FPeer, 0);
      } else if (errno != EINTR) {
        FOpen = false;
        ThrowSocketError("Cannot read from " + FPeer, errno);
      }
    }
  }

  // Without a limit send blocks; with one, each send waits by poll against the deadline
  // of the whole write.
  void Send(const void* data, std::size_t size, std::optional<std::chrono::milliseconds> takenWithin) {
    if (!MarkBusy()) Taken();
    const auto* p = static_cast<const char*>(data);
    const auto deadline = std::chrono::steady_clock::now() + takenWithin.value_or(std::chrono::milliseconds{0});
    while (size > 0) {
      if (takenWithin) WaitFor(POLLOUT, deadline, "Cannot write to " + FPeer, "the reply was not taken within " + std::to_string(takenWithin->count()) + " ms");
      // MSG_NOSIGNAL: a peer that has gone must raise here, not kill the process.
      const ssize_t n = ::send(FFd.Get(), p, size, MSG_NOSIGNAL | (takenWithin ? MSG_DONTWAIT : 0));
      if (n >= 0) {
        p += n;
        size -= static_cast<std::size_t>(n);
      } else if (errno != EINTR && !(takenWithin && (errno == EAGAIN || errno == EWOULDBLOCK))) {
        FOpen = false;
        ThrowSocketError("Cannot write to " + FPeer, errno);
      }
    }
    MarkIdle();  // the reply is out: the connection may be taken for another again
  }

  void WaitReadable(std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds limit) {
    WaitFor(POLLIN, deadline, "Cannot read from " + FPeer, "the request was not whole within " + std::to_string(limit.count()) + " ms");
  }

  void WaitFor(short events, std::chrono::steady_clock::time_point deadline, const std::string& step,
               const std::string& lateText) {
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd pfd{FFd.Get(), events, 0};
      const int rc = left.count() > 0 ? ::poll(&pfd, 1, static_cast<int>(left.count())) : 0;
      if (rc > 0) return;  // ready, the end or an error: the call itself tells which
      if (rc < 0 && errno == EINTR) continue;
      FOpen = false;
      if (rc < 0) ThrowSocketError(step, errno);
      ThrowSocketError(step + ": " + lateText, ETIMEDOUT);
    }
  }

  [[noreturn]] void Taken() {
    FOpen = false;
    throw EAEOsError("Connection to " + FPeer + " closed for a new one", ECONNABORTED);
  }

  TScopedFd FFd;
  std::string FPeer;
  std::atomic<bool> FOpen{true};
};

class TPosixListenSocket final : public IAEListenSocket {
 public:
  TPosixListenSocket(TScopedFd fd, std::uint16_t port) : FFd(std::move(fd)), FPort(port) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) ThrowSocketError("Cannot create the wake-up pipe", errno);
    FWakeRead.Reset(pipeFds[0]);
    FWakeWrite.Reset(pipeFds[1]);
  }

  std::unique_ptr<IAEAcceptedSocket> Accept() override {
    for (;;) {
      // Wait on the listener and the wake-up pipe together, so that Deactivate ends the
      // wait without closing a descriptor under a thread that still uses it.
      pollfd fds[2] = {{FWakeRead.Get(), POLLIN, 0}, {FFd.Get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        ThrowSocketError("Cannot wait for connections on TCP port " + std::to_string(FPort), errno);
      }
      if (fds[0].revents != 0) return nullptr;
      if (fds[1].revents == 0) continue;
      sockaddr_storage addr{};
      socklen_t len = sizeof addr;
      const int fd = ::accept4(FFd.Get(), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
      if (fd < 0) {
        // The listener is non-blocking: a peer that reset before we got to it leaves
        // nothing to accept, which is no error.
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EPROTO)
          continue;
        ThrowSocketError("Cannot accept a connection on TCP port " + std::to_string(FPort), errno);
      }
      TScopedFd conn(fd);
      // Replies go out as soon as they are written; Nagle would hold a reply's tail
      // back until the peer's delayed acknowledgement.
      const int one = 1;
      ::setsockopt(conn.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // a latency hint; serving works without it
      return std::make_unique<TPosixAcceptedSocket>(conn.Release(), DescribePeer(addr));
    }
  }

  void Wake() override {
    const char byte = 1;
    // One byte suffices: the pipe is never drained, so it stays readable from now on,
    // and a full pipe (EAGAIN) is readable already.
    [[maybe_unused]] const ssize_t n = ::write(FWakeWrite.Get(), &byte, 1);
  }

  std::uint16_t Port() const override { return FPort; }

 private:
  TScopedFd FFd;
  std::uint16_t FPort;
  TScopedFd FWakeRead;
  TScopedFd FWakeWrite;
};

}  // namespace

std::unique_ptr<IAEListenSocket> OpenTcpListener(TAEAddressFamily family, std::uint16_t port) {
  const bool v6 = family == TAEAddressFamily::IPv6;
  const std::string what = "Cannot listen on TCP port " + std::to_string(port) + " (" + FamilyName(family) + ")";
  TScopedFd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.Get() < 0) {
    if (v6 && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) return nullptr;  // no IPv6 here
    ThrowSocketError(what, errno);
  }
  const int one = 1;
  // SO_REUSEADDR lets a restarted node bind while old connections linger in TIME_WAIT;
  // on Linux it never lets two listeners share a port.
  if (::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) ThrowSocketError(what, errno);
  if (v6 && ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0)
    ThrowSocketError(what, errno);

  sockaddr_storage addr;
  socklen_t len = FillAnyAddress(v6, port, addr);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    if (v6 && (errno == EADDRNOTAVAIL || errno == EAFNOSUPPORT)) return nullptr;  // IPv6 switched off
    ThrowSocketError(what, errno);
  }
  if (::listen(fd.Get(), SOMAXCONN) != 0) ThrowSocketError(what, errno);
  len = sizeof addr;
  if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) ThrowSocketError(what, errno);
  const std::uint16_t bound = PortOf(addr);
  return std::make_unique<TPosixListenSocket>(std::move(fd), bound);
}

bool IsAddressInUseError(int osError) { return osError == EADDRINUSE; }
