#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "AEBareLoopback.h"

struct TBareReplyServer::TImpl {
  std::string Reply;
  std::function<void()> BeforeReply;
  int Listener = -1;
  std::uint16_t Port = 0;
  std::atomic<int> Conn{-1};
  std::atomic<bool> Stopping{false};
  std::thread Thread;

  void Run() {
    while (!Stopping) {
      const int c = ::accept(Listener, nullptr, nullptr);
      if (c < 0) return;  // the listener was shut down
      const int one = 1;
      ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      Conn = c;
      char request[24];
      for (;;) {
        std::size_t got = 0;
        while (got < sizeof request) {
          const ssize_t n = ::recv(c, request + got, sizeof request - got, 0);
          if (n <= 0) break;
          got += static_cast<std::size_t>(n);
        }
        if (got < sizeof request) break;
        if (BeforeReply) BeforeReply();
        if (::send(c, Reply.data(), Reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(Reply.size())) break;
      }
      Conn = -1;
      ::close(c);
    }
  }
};

TBareReplyServer::TBareReplyServer(std::string reply, std::function<void()> beforeReply)
    : FImpl(std::make_unique<TImpl>()) {
  FImpl->Reply = std::move(reply);
  FImpl->BeforeReply = std::move(beforeReply);
  FImpl->Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (FImpl->Listener < 0 || ::bind(FImpl->Listener, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      ::listen(FImpl->Listener, 8) != 0 || ::getsockname(FImpl->Listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("bare loopback server: cannot listen");
  FImpl->Port = ntohs(a.sin_port);
  FImpl->Thread = std::thread([this] { FImpl->Run(); });
}

TBareReplyServer::~TBareReplyServer() {
  FImpl->Stopping = true;
  ::shutdown(FImpl->Listener, SHUT_RDWR);  // wakes accept
  const int c = FImpl->Conn.load();
  if (c >= 0) ::shutdown(c, SHUT_RDWR);  // wakes recv
  FImpl->Thread.join();
  ::close(FImpl->Listener);
}

std::uint16_t TBareReplyServer::Port() const { return FImpl->Port; }
