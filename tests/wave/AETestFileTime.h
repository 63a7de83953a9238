// FILETIME ticks of a UTC calendar time, for building test trees and requests.
#pragma once

#include <chrono>
#include <cstdint>

#include "AEProtocol.h"

inline std::int64_t FileTimeOf(int y, unsigned m, unsigned d, int hour = 0, int minute = 0, int second = 0,
                               int ms = 0) {
  using namespace std::chrono;
  const auto days = sys_days{year{y} / month{m} / day{d}} - sys_days{year{1601} / January / 1};
  return (days.count() * 86'400LL + hour * 3'600LL + minute * 60LL + second) * kTicksPerSecond + ms * kTicksPerMs;
}
