#include "AEProtocol.h"

#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// EncodeDate(1601, 1, 1) in days since 1899-12-30.
constexpr double kDateOf1601 = -109205.0;
constexpr std::int64_t kMsPerDay = 86'400'000;

std::uint32_t Crc32(const void* data, std::size_t len) {
  return static_cast<std::uint32_t>(
      crc32(0L, static_cast<const Bytef*>(data), static_cast<uInt>(len)));
}

template <typename R>
std::uint32_t Seal(R& r, std::uint32_t magic) {
  std::memcpy(r.Magic, &magic, 4);
  r.Version = 1;
  r.Size = sizeof(R);
  r.Crc = Crc32(&r, offsetof(R, Crc));
  return r.Crc;
}

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0));
}

}  // namespace

std::uint32_t HitRecordCrc(const TAEHitRecord& r) { return Crc32(&r, offsetof(TAEHitRecord, Crc)); }
std::uint32_t PingRecordCrc(const TAEPingRecord& r) { return Crc32(&r, offsetof(TAEPingRecord, Crc)); }
std::uint32_t ParamRecordCrc(const TAEParamRecord& r) { return Crc32(&r, offsetof(TAEParamRecord, Crc)); }

std::uint32_t InitHitRecord(TAEHitRecord& r) {
  r.Marker = kHitMarker;
  std::memcpy(&r.Reserved, &kReservedNaNBits, sizeof r.Reserved);
  return Seal(r, kHitMagic);
}
std::uint32_t InitPingRecord(TAEPingRecord& r) { return Seal(r, kPingMagic); }
std::uint32_t InitParamRecord(TAEParamRecord& r) { return Seal(r, kParamMagic); }

double FileTimeToDateTime(std::int64_t ticks) {
  return kDateOf1601 + static_cast<double>(ticks) / static_cast<double>(kTicksPerDay);
}

TAECalendar FileTimeToCalendar(std::int64_t ticks) {
  const double dt = FileTimeToDateTime(ticks);
  const auto totalMs = static_cast<std::int64_t>(std::llround(dt * static_cast<double>(kMsPerDay)));
  std::int64_t day = totalMs / kMsPerDay;
  std::int64_t msOfDay = totalMs % kMsPerDay;
  if (msOfDay < 0) {  // floor division, so dates before 1899-12-30 stay calendar-true
    msOfDay += kMsPerDay;
    --day;
  }
  TAECalendar c{};
  CivilFromDays(day - 25569, c.Year, c.Month, c.Day);  // 25569 = days 1899-12-30 .. 1970-01-01
  c.Hour = static_cast<int>(msOfDay / 3'600'000);
  c.Minute = static_cast<int>(msOfDay / 60'000 % 60);
  c.Second = static_cast<int>(msOfDay / 1000 % 60);
  c.Millisecond = static_cast<int>(msOfDay % 1000);
  return c;
}

std::string HitFileName(std::string_view dataRoot, std::uint16_t channel, std::int64_t fileTime,
                        std::uint32_t seq) {
  const char delim = PathDelimiter();
  const TAECalendar c = FileTimeToCalendar(fileTime);
  std::string path(dataRoot);
  if (path.empty() || path.back() != delim) path.push_back(delim);
  char tail[96];
  std::snprintf(tail, sizeof tail, "Ch%.4d%c%04d%02d%02d%c%02d%c%.8d.aeh", static_cast<int>(channel), delim,
                c.Year, c.Month, c.Day, delim, c.Hour, delim, static_cast<std::int32_t>(seq));
  return path + tail;
}
