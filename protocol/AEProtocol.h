// The records that leave the agent (UDP datagrams, MQTT payloads, the head of every
// hit file), their seal, the UTC clock in FILETIME ticks and the hit-file path.
// Stateless: every routine except NowFileTime is a pure function and re-entrant.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

static_assert(std::endian::native == std::endian::little, "records are stored as laid out in memory");

// Hit class codes, one byte; 255 in a hit file means "no true class".
enum TAEHitClass : std::uint8_t { hcNoise = 0, hcCrack = 1, hcLeak = 2, hcUnknown = 3 };
inline constexpr std::uint8_t kNoTrueClass = 255;
inline constexpr std::array<std::string_view, 4> HitClassNames = {"noise", "crack", "leak", "unknown"};

inline constexpr std::int64_t kTicksPerSecond = 10'000'000;
inline constexpr std::int64_t kTicksPerMs = 10'000;
inline constexpr std::int64_t kTicksPerDay = 864'000'000'000;
inline constexpr std::int64_t kMsPerDay = 86'400'000;

#pragma pack(push, 1)
struct TAEHitRecord {
  char Magic[4];
  std::uint16_t Version;
  std::uint16_t Size;
  std::uint16_t AgentId;
  std::uint16_t Channel;
  std::uint32_t Seq;
  std::int64_t FileTime;
  std::uint32_t SampleRateHz;
  std::uint32_t SampleCount;
  std::uint8_t HitClass;
  std::uint8_t SubCode;
  std::uint8_t Marker;  // always kHitMarker
  std::uint8_t Pad0;
  float Confidence;
  float AmplitudeDb;
  float Energy;
  float PeakFreqKHz;
  float CentroidKHz;
  float RiseTimeUs;
  float DurationUs;
  std::uint32_t Counts;
  float Reserved;  // always the NaN 0xFFC00000
  std::uint32_t Crc;
};

struct TAEPingRecord {
  char Magic[4];
  std::uint16_t Version;
  std::uint16_t Size;
  std::uint16_t AgentId;
  std::uint16_t Channel;
  std::uint32_t Seq;
  std::int64_t FileTime;
  std::uint32_t UptimeSec;
  std::uint32_t HitsSinceLast;
  std::uint16_t IntervalSec;
  std::uint8_t Status;  // 0 hits seen, 1 no hits, 2 sound card with no input open
  std::uint8_t Pad0;
  std::uint32_t Crc;
};

struct TAEParamRecord {
  char Magic[4];
  std::uint16_t Version;
  std::uint16_t Size;
  std::uint16_t AgentId;
  std::uint16_t ParamId;  // 1 pressure, 2 temperature
  std::uint32_t Seq;
  std::int64_t FileTime;
  float Value;
  std::uint8_t Kind;  // 1 bar, 2 degrees Celsius
  std::uint8_t Pad0[3];
  std::uint32_t Crc;
};
#pragma pack(pop)

static_assert(sizeof(TAEHitRecord) == 76);
static_assert(offsetof(TAEHitRecord, Seq) == 12);
static_assert(offsetof(TAEHitRecord, FileTime) == 16);
static_assert(offsetof(TAEHitRecord, HitClass) == 32);
static_assert(offsetof(TAEHitRecord, Confidence) == 36);
static_assert(offsetof(TAEHitRecord, AmplitudeDb) == 40);
static_assert(offsetof(TAEHitRecord, Counts) == 64);
static_assert(offsetof(TAEHitRecord, Reserved) == 68);
static_assert(offsetof(TAEHitRecord, Crc) == 72);
static_assert(sizeof(TAEPingRecord) == 40);
static_assert(offsetof(TAEPingRecord, UptimeSec) == 24);
static_assert(offsetof(TAEPingRecord, IntervalSec) == 32);
static_assert(offsetof(TAEPingRecord, Status) == 34);
static_assert(offsetof(TAEPingRecord, Crc) == 36);
static_assert(sizeof(TAEParamRecord) == 36);
static_assert(offsetof(TAEParamRecord, Value) == 24);
static_assert(offsetof(TAEParamRecord, Kind) == 28);
static_assert(offsetof(TAEParamRecord, Crc) == 32);

inline constexpr std::uint32_t kHitMagic = 0x31484541;    // "AEH1"
inline constexpr std::uint32_t kPingMagic = 0x314B4541;   // "AEK1"
inline constexpr std::uint32_t kParamMagic = 0x31514541;  // "AEQ1"
inline constexpr std::uint32_t kReservedNaNBits = 0xFFC00000;
inline constexpr std::uint8_t kHitMarker = 2;

// CRC-32 (zlib, started with 0) of the bytes before Crc; the record is not changed.
std::uint32_t HitRecordCrc(const TAEHitRecord& r);
std::uint32_t PingRecordCrc(const TAEPingRecord& r);
std::uint32_t ParamRecordCrc(const TAEParamRecord& r);

// The seal: Magic, Version 1, Size (and for a hit Marker 2 and the Reserved NaN), then
// Crc over all that precedes it. The last step before a record is sent or stored.
std::uint32_t InitHitRecord(TAEHitRecord& r);
std::uint32_t InitPingRecord(TAEPingRecord& r);
std::uint32_t InitParamRecord(TAEParamRecord& r);

// A record of type R cleared to zero, with the fields every record starts with after
// its seal's: the agent, the channel (a parameter record's ParamId), the number and the
// time. What is left is the caller's, then the seal.
template <typename R>
R NewRecord(std::uint16_t agentId, std::uint16_t channel, std::uint32_t seq, std::int64_t fileTime) {
  R r;
  std::memset(&r, 0, sizeof r);
  r.AgentId = agentId;
  if constexpr (requires { r.ParamId; })
    r.ParamId = channel;
  else
    r.Channel = channel;
  r.Seq = seq;
  r.FileTime = fileTime;
  return r;
}

// Current UTC time in FILETIME ticks (100 ns since 1601-01-01), from the precise
// wall clock; it jumps when the system time is set.
std::int64_t NowFileTime();

// Days since 1899-12-30 00:00 UTC with the time of day as the fraction.
double FileTimeToDateTime(std::int64_t ticks);

// Calendar fields of a FILETIME, from its date-time value rounded to the millisecond.
struct TAECalendar {
  int Year, Month, Day, Hour, Minute, Second, Millisecond;
};
TAECalendar FileTimeToCalendar(std::int64_t ticks);

// Days from 1970-01-01 to a valid date of the proleptic Gregorian calendar (year 0 is
// 1 BC), negative before it.
std::int64_t DaysFromCivil(int year, int month, int day);

// The platform's path delimiter ('\\' on Windows, '/' elsewhere).
char PathDelimiter();

// folder<delim>name; only the platform's delimiter counts as a trailing one on folder.
std::string JoinPath(std::string_view folder, std::string_view name);

// <root><delim>ChCCCC<delim>yyyymmdd<delim>hh<delim>SSSSSSSS.aeh; only the platform's
// delimiter counts as a trailing one on the root. HitFolderName is all before the last
// delimiter.
std::string HitFolderName(std::string_view dataRoot, std::uint16_t channel, std::int64_t fileTime);
std::string HitFileName(std::string_view dataRoot, std::uint16_t channel, std::int64_t fileTime,
                        std::uint32_t seq);
