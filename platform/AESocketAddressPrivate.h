// Socket addresses as the TCP server backends build and print them, the same on both
// platforms. Included only by backends, after their platform's socket headers (which
// declare sockaddr_storage, inet_ntop and htons), never by portable code.
#pragma once

#include <cstdint>
#include <string>

// The wildcard address of the family with port (0: any free one); returns its length.
inline int FillAnyAddress(bool v6, std::uint16_t port, sockaddr_storage& addr) {
  addr = sockaddr_storage{};
  if (v6) {
    auto& a = reinterpret_cast<sockaddr_in6&>(addr);
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(port);
    return sizeof a;
  }
  auto& a = reinterpret_cast<sockaddr_in&>(addr);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  return sizeof a;
}

// The port of an IPv4 or IPv6 address.
inline std::uint16_t PortOf(const sockaddr_storage& addr) {
  return ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(addr).sin6_port
                                          : reinterpret_cast<const sockaddr_in&>(addr).sin_port);
}

// "host:port" or "[host]:port".
inline std::string DescribePeer(const sockaddr_storage& addr) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (addr.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(addr);
    inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(a.sin_port));
  }
  if (addr.ss_family != AF_INET6) return "an unknown peer";
  const auto& a = reinterpret_cast<const sockaddr_in6&>(addr);
  inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
  std::string text = "[";
  text.append(host).append("]:").append(std::to_string(ntohs(a.sin6_port)));
  return text;
}
