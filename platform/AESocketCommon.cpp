#include "AESocket.h"

#include <utility>

EAESocketError::EAESocketError(int code, const std::string& description)
    : EAEOsError("Socket Error # " + std::to_string(code) + "\r\n" + description, code) {}

TAESocket& TAESocket::operator=(TAESocket&& other) noexcept {
  if (this != &other) {
    Close();
    FHandle = other.Release();
  }
  return *this;
}
