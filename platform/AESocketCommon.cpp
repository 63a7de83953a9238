#include "AESocket.h"

#include <utility>

TAESocket& TAESocket::operator=(TAESocket&& other) noexcept {
  if (this != &other) {
    Close();
    FHandle = other.Release();
  }
  return *this;
}
