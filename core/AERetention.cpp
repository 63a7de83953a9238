#include "AERetention.h"

#include <chrono>
#include <exception>
#include <optional>

#include "AEConvert.h"
#include "AEDirectory.h"
#include "AEProtocol.h"

namespace {

constexpr std::int64_t kMsPerHour = 3'600'000;

// Days from 0001-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t DaysSinceYear1(int year, int month, int day) {
  return DaysFromCivil(year, month, day) - DaysFromCivil(1, 1, 1);
}

bool IsValidDate(int year, int month, int day) {
  // The range checks first: std::chrono::day keeps only a byte of what it is given.
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) return false;
  return std::chrono::year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                     std::chrono::day{static_cast<unsigned>(day)}}
      .ok();
}

struct TDayName {
  int Year, Month, Day;
};

// "yyyymmdd": exactly 8 characters whose three parts each convert as an integer.
// Whether they form a real date is checked per hour folder.
std::optional<TDayName> ParseDayName(const std::string& name) {
  if (name.size() != 8) return std::nullopt;
  const auto y = TryStrToInt(std::string_view(name).substr(0, 4));
  const auto m = TryStrToInt(std::string_view(name).substr(4, 2));
  const auto d = TryStrToInt(std::string_view(name).substr(6, 2));
  if (!y || !m || !d) return std::nullopt;
  return TDayName{*y, *m, *d};
}

// Start of the named hour in milliseconds since 0001-01-01 00:00 UTC, or nothing when
// the day and hour do not form a valid date and time.
std::optional<std::int64_t> HourStartMs(const TDayName& day, const std::string& hourName) {
  const auto hour = TryStrToInt(hourName);
  if (!hour || *hour < 0 || *hour > 23 || !IsValidDate(day.Year, day.Month, day.Day)) return std::nullopt;
  return DaysSinceYear1(day.Year, day.Month, day.Day) * kMsPerDay + *hour * kMsPerHour;
}

void SweepDay(const std::string& dayPath, const TDayName& day, std::int64_t cutoffMs) {
  for (const std::string& hourName : ListFolders(dayPath, "*")) {
    const auto startMs = HourStartMs(day, hourName);
    if (startMs && *startMs + kMsPerHour < cutoffMs) DeleteFolderTree(JoinPath(dayPath, hourName));
  }
  // Whatever date the name gives: a well-formed day folder left empty goes.
  if (IsFolderEmpty(dayPath)) DeleteEmptyFolder(dayPath);
}

}  // namespace

void SweepRetention(const std::string& dataRoot, std::int32_t retentionHours, std::int64_t nowFileTime) {
  if (retentionHours <= 0) return;
  const TAECalendar now = FileTimeToCalendar(nowFileTime);
  const std::int64_t nowMs = DaysSinceYear1(now.Year, now.Month, now.Day) * kMsPerDay + now.Hour * kMsPerHour +
                             now.Minute * std::int64_t{60'000} + now.Second * std::int64_t{1000} + now.Millisecond;
  // The cutoff in 64-bit milliseconds; one before the year 1 would make every hour
  // folder young enough to keep, so there is nothing to do.
  const std::int64_t cutoffMs = nowMs - std::int64_t{retentionHours} * kMsPerHour;
  if (cutoffMs < 0) return;
  try {
    for (const std::string& channel : ListFolders(dataRoot, "Ch*")) {
      const std::string channelPath = JoinPath(dataRoot, channel);
      for (const std::string& dayName : ListFolders(channelPath, "*")) {
        if (const auto day = ParseDayName(dayName)) SweepDay(JoinPath(channelPath, dayName), *day, cutoffMs);
      }
    }
  } catch (const std::exception&) {
    // A folder that vanished or cannot be read mid-walk: this sweep ends here, the next
    // one walks the tree again from the top. Nothing of the sweep is reported.
  }
}
