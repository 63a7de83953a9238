#include "AEProtocol.h"

#include <zlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// EncodeDate(1601, 1, 1) in days since 1899-12-30.
constexpr double kDateOf1601 = -109205.0;

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
  using namespace std::chrono;
  const double dt = FileTimeToDateTime(ticks);
  const milliseconds sinceDateZero{std::llround(dt * static_cast<double>(kMsPerDay))};
  // floor, so dates before 1899-12-30 stay calendar-true
  const days day = floor<days>(sinceDateZero);
  const auto msOfDay = (sinceDateZero - day).count();
  const year_month_day date{sys_days{day - days{25569}}};  // 25569 = days 1899-12-30 .. 1970-01-01
  TAECalendar c{};
  c.Year = static_cast<int>(date.year());
  c.Month = static_cast<int>(static_cast<unsigned>(date.month()));
  c.Day = static_cast<int>(static_cast<unsigned>(date.day()));
  c.Hour = static_cast<int>(msOfDay / 3'600'000);
  c.Minute = static_cast<int>(msOfDay / 60'000 % 60);
  c.Second = static_cast<int>(msOfDay / 1000 % 60);
  c.Millisecond = static_cast<int>(msOfDay % 1000);
  return c;
}

std::string HitFolderName(std::string_view dataRoot, std::uint16_t channel, std::int64_t fileTime) {
  const char delim = PathDelimiter();
  const TAECalendar c = FileTimeToCalendar(fileTime);
  char tail[64];
  std::snprintf(tail, sizeof tail, "Ch%.4d%c%04d%02d%02d%c%02d", static_cast<int>(channel), delim, c.Year, c.Month,
                c.Day, delim, c.Hour);
  return JoinPath(dataRoot, tail);
}

std::string HitFileName(std::string_view dataRoot, std::uint16_t channel, std::int64_t fileTime,
                        std::uint32_t seq) {
  char name[32];
  std::snprintf(name, sizeof name, "%.8d.aeh", static_cast<std::int32_t>(seq));
  return JoinPath(HitFolderName(dataRoot, channel, fileTime), name);
}

std::int64_t DaysFromCivil(int year, int month, int day) {
  const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  return std::chrono::sys_days{date}.time_since_epoch().count();
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || path.back() != PathDelimiter()) path.push_back(PathDelimiter());
  return path.append(name);
}
