#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/AETestTcpClient.h"

namespace {

// Every blocking recv ends after this long at most; waits shorter than that poll first.
constexpr std::chrono::seconds kRecvLimit{5};

bool MakeAddress(const std::string& host, std::uint16_t port, sockaddr_storage& addr, socklen_t& len) {
  addr = {};
  auto& a4 = reinterpret_cast<sockaddr_in&>(addr);
  if (::inet_pton(AF_INET, host.c_str(), &a4.sin_addr) == 1) {
    a4.sin_family = AF_INET;
    a4.sin_port = htons(port);
    len = sizeof a4;
    return true;
  }
  auto& a6 = reinterpret_cast<sockaddr_in6&>(addr);
  if (::inet_pton(AF_INET6, host.c_str(), &a6.sin6_addr) == 1) {
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(port);
    len = sizeof a6;
    return true;
  }
  return false;
}

// Waits for readability; false on time-out.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(left.count()));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return true;  // let recv report it
  }
}

}  // namespace

TAETestTcpClient::TAETestTcpClient(const std::string& host, std::uint16_t port) : FSocket(-1) {
  sockaddr_storage addr;
  socklen_t len = 0;
  if (!MakeAddress(host, port, addr, len)) throw std::runtime_error("not a numeric address: " + host);
  const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  FSocket = fd;
  // Loopback connects at once or is refused at once; the time limit guards a full backlog.
  timeval tv{kRecvLimit.count(), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    const int err = errno;
    ::close(fd);
    FSocket = -1;
    throw std::runtime_error("connect " + host + ":" + std::to_string(port) + ": " + std::strerror(err));
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

TAETestTcpClient::~TAETestTcpClient() {
  if (FSocket >= 0) ::close(static_cast<int>(FSocket));
}

void TAETestTcpClient::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(static_cast<int>(FSocket), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("send: ") + std::strerror(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string TAETestTcpClient::Receive(std::size_t n, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string out;
  char buf[65536];
  // A wait of the socket's own limit or more goes straight to recv (one call per read,
  // which keeps the client light in the benchmark); a shorter one polls first.
  while (out.size() < n && (deadline - std::chrono::steady_clock::now() >= kRecvLimit ||
                            WaitReadable(static_cast<int>(FSocket), deadline))) {
    const std::size_t want = std::min(sizeof buf, n - out.size());
    const ssize_t got = ::recv(static_cast<int>(FSocket), buf, want, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    out.append(buf, static_cast<std::size_t>(got));
  }
  return out;
}

bool TAETestTcpClient::WaitForEnd(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (!WaitReadable(static_cast<int>(FSocket), deadline)) return false;
    char c;
    const ssize_t got = ::recv(static_cast<int>(FSocket), &c, 1, 0);
    if (got < 0 && errno == EINTR) continue;
    return got <= 0;
  }
}

void TAETestTcpClient::ShutdownSend() { ::shutdown(static_cast<int>(FSocket), SHUT_WR); }

void TAETestTcpClient::Reset() {
  linger l{1, 0};
  ::setsockopt(static_cast<int>(FSocket), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(static_cast<int>(FSocket));
  FSocket = -1;
}

bool TAETestTcpClient::HasIPv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}
