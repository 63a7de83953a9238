// A bound, unread UDP socket on 127.0.0.1 for the benchmarks: the datagrams really go
// out, and the kernel drops what the full receive buffer cannot take, as it would for
// a slow collector.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

struct TBenchUdpSink {
  int Fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  std::uint16_t Port = 0;
  TBenchUdpSink() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
  }
  ~TBenchUdpSink() { ::close(Fd); }
  TBenchUdpSink(const TBenchUdpSink&) = delete;
  TBenchUdpSink& operator=(const TBenchUdpSink&) = delete;
};
