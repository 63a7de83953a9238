// The wave records: the head of every hit file and wave message, and the wave server's
// request and reply, laid out byte for byte as they travel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "AEProtocol.h"

#pragma pack(push, 1)
// The first 88 bytes of every hit file (and of every wave message).
struct TAEWaveHeader {
  char Magic[4];  // "AEW1"
  TAEHitRecord Hit;  // sealed, its Crc included
  std::uint8_t TrueClass;  // 0 .. 3, or kNoTrueClass for a sound-card hit
  std::uint8_t Pad[3];
  float VoltsPerCount;
};

struct TAEWaveRequest {
  std::uint32_t Magic;  // "AER1"
  std::uint16_t AgentId;
  std::uint16_t Channel;  // any value, also one above Channels
  std::uint32_t Seq;
  std::uint8_t Ignored[4];  // any value, never read
  std::int64_t FileTime;    // only its UTC date and hour matter
};

struct TAEWaveReply {
  std::uint32_t Magic;  // "AES1"
  std::int32_t Status;  // TAEWaveStatus
  std::int32_t Length;  // bytes that follow: the file's size with wsFound, else 0
};
#pragma pack(pop)

static_assert(sizeof(TAEWaveHeader) == 88);
static_assert(offsetof(TAEWaveHeader, Hit) == 4);
static_assert(offsetof(TAEWaveHeader, TrueClass) == 80);
static_assert(offsetof(TAEWaveHeader, Pad) == 81);
static_assert(offsetof(TAEWaveHeader, VoltsPerCount) == 84);
static_assert(sizeof(TAEWaveRequest) == 24);
static_assert(offsetof(TAEWaveRequest, AgentId) == 4);
static_assert(offsetof(TAEWaveRequest, Channel) == 6);
static_assert(offsetof(TAEWaveRequest, Seq) == 8);
static_assert(offsetof(TAEWaveRequest, Ignored) == 12);
static_assert(offsetof(TAEWaveRequest, FileTime) == 16);
static_assert(sizeof(TAEWaveReply) == 12);
static_assert(offsetof(TAEWaveReply, Status) == 4);
static_assert(offsetof(TAEWaveReply, Length) == 8);

inline constexpr std::uint32_t kWaveMagic = 0x31574541;         // "AEW1"
inline constexpr std::uint32_t kWaveRequestMagic = 0x31524541;  // "AER1"
inline constexpr std::uint32_t kWaveReplyMagic = 0x31534541;    // "AES1"

enum TAEWaveStatus : std::int32_t {
  wsFound = 0,       // the hit file follows; the connection stays open
  wsNotFound = 1,    // no hit file at that path; the connection stays open
  wsBadRequest = 2,  // wrong magic or another agent's id; the connection is closed
};
