// Clock and path delimiter of the POSIX build.
#include <time.h>

#include "AEProtocol.h"

namespace {
// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kUnixEpochSeconds = 11'644'473'600;
}  // namespace

std::int64_t NowFileTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<std::int64_t>(ts.tv_sec) + kUnixEpochSeconds) * kTicksPerSecond + ts.tv_nsec / 100;
}

char PathDelimiter() { return '/'; }
