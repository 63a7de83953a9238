#include <winsock2.h>

#include <mutex>

#include "AESocket.h"

void EnsureSocketsStarted() {
  // Once per process; never cleaned up, since sockets may live until exit.
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    const int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) throw EAESocketError(rc);
  });
}
