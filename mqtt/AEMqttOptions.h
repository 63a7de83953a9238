// What a client is told before it connects: who it is, its will, its limits. Read by
// the client and, for CONNECT, by the codec.
#pragma once

#include <cstdint>
#include <string>

#include "AEMqttPacket.h"

struct TAEMqttOptions {
  std::string ClientId;
  std::string User;      // empty: none sent; also the login named in the duplicate line
  std::string Password;  // empty: none sent; never sent without a user
  std::uint16_t KeepAliveSec = 60;  // 0 means 60
  bool CleanSession = true;
  std::string WillTopic;  // empty: no will
  TAEBytes WillPayload;   // at most 65535 bytes
  bool WillRetain = false;
  std::int32_t MaxQueue = 1000;  // 0 or less means 1000
  // The largest remaining length accepted in an incoming packet; a bigger one ends the
  // session before it is buffered. 0 means the default of 1 MiB.
  std::uint32_t MaxIncomingLength = 1 << 20;

  static TAEMqttOptions Default() { return TAEMqttOptions{}; }
};
