#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "AESocket.h"

namespace {

int Fd(TAESocket::THandle h) { return static_cast<int>(h); }

// poll() restarted after a signal, with the time left.
int PollFds(pollfd* fds, nfds_t count, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int r = ::poll(fds, count, timeoutMs);
    if (r >= 0 || errno != EINTR) return r;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
  }
}

int PollOne(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  return PollFds(&p, 1, timeoutMs);
}

// Waits for a connect to finish, or for the cancel pipe's read end (wakeFd, -1: none)
// to turn readable: > 0 when either is ready.
int PollConnect(int fd, int wakeFd, int timeoutMs) {
  pollfd p[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
  return PollFds(p, wakeFd >= 0 ? 2 : 1, timeoutMs);
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
  if (rc != 0 || res == nullptr) {
    if (rc == EAI_SYSTEM) throw EAESocketError(errno);
    throw EAESocketError(rc, ::gai_strerror(rc));
  }
  addr.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  ::freeaddrinfo(res);
  return addr;
}

}  // namespace

// A pipe whose read end turns readable on Cancel, so that a connect's poll() wakes.
// The byte is in the pipe exactly while Cancelled holds; Lock keeps the two together.
struct TAEConnectCancel::TImpl {
  int Read = -1;
  int Write = -1;
  std::mutex Lock;
  std::atomic<bool> Cancelled{false};
};

TAEConnectCancel::TAEConnectCancel() : FImpl(std::make_unique<TImpl>()) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw EAESocketError(errno);
  FImpl->Read = fds[0];
  FImpl->Write = fds[1];
}

TAEConnectCancel::~TAEConnectCancel() {
  ::close(FImpl->Read);
  ::close(FImpl->Write);
}

void TAEConnectCancel::Cancel() {
  std::lock_guard lock(FImpl->Lock);
  if (FImpl->Cancelled.exchange(true)) return;
  const std::uint8_t one = 1;
  // The pipe is empty here, so this one byte always fits.
  [[maybe_unused]] const ssize_t n = ::write(FImpl->Write, &one, 1);
}

void TAEConnectCancel::Reset() {
  std::lock_guard lock(FImpl->Lock);
  if (!FImpl->Cancelled.load()) return;
  std::uint8_t drain[16];
  while (::read(FImpl->Read, drain, sizeof drain) > 0) {
  }
  FImpl->Cancelled = false;
}

bool TAEConnectCancel::IsCancelled() const { return FImpl->Cancelled.load(); }

EAESocketError::EAESocketError(int code) : EAESocketError(code, std::strerror(code)) {}

void EnsureSocketsStarted() {}

bool IsConnectionEndedError(int code) {
  return code == ECONNRESET || code == ECONNABORTED || code == EPIPE || code == ESHUTDOWN || code == ENOTCONN;
}

TAESocket TAESocket::Connect(const std::string& host, std::uint16_t port, int connectTimeoutMs,
                             TAEConnectCancel* cancel) {
  if (cancel != nullptr && cancel->IsCancelled()) throw EAEConnectCancelled();
  const sockaddr_in addr = ResolveIpv4(host, port);
  TAESocket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.IsOpen()) throw EAESocketError(errno);
  const int fd = Fd(s.FHandle);
  // Non-blocking only for the connect, so that its wait is bounded; reads and writes
  // wait in poll() with their own limits.
  const int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) throw EAESocketError(errno);
    const int r = PollConnect(fd, cancel != nullptr ? cancel->FImpl->Read : -1, connectTimeoutMs);
    if (r < 0) throw EAESocketError(errno);
    if (r == 0) throw EAEConnectTimeout();
    if (cancel != nullptr && cancel->IsCancelled()) throw EAEConnectCancelled();
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) throw EAESocketError(err);
  }
  ::fcntl(fd, F_SETFL, flags);
  return s;
}

void TAESocket::SendAll(std::span<const std::uint8_t> data, int stallTimeoutMs) {
  if (!IsOpen()) throw EAESocketError(ENOTCONN);
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(Fd(FHandle), data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) throw EAESocketError(errno);
    const int r = PollOne(Fd(FHandle), POLLOUT, stallTimeoutMs);
    if (r < 0) throw EAESocketError(errno);
    if (r == 0) throw EAESocketError(ETIMEDOUT);
  }
}

std::ptrdiff_t TAESocket::Receive(std::span<std::uint8_t> buf, int timeoutMs) {
  if (!IsOpen()) throw EAESocketError(ENOTCONN);
  const int r = PollOne(Fd(FHandle), POLLIN, timeoutMs);
  if (r < 0) throw EAESocketError(errno);
  if (r == 0) return -1;
  for (;;) {
    const ssize_t n = ::recv(Fd(FHandle), buf.data(), buf.size(), MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    throw EAESocketError(errno);
  }
}

void TAESocket::Shutdown() {
  if (IsOpen()) ::shutdown(Fd(FHandle), SHUT_RDWR);  // ENOTCONN after the peer left is fine
}

void TAESocket::Close() {
  if (IsOpen()) ::close(Fd(Release()));  // the descriptor is released even when close reports an error
}
