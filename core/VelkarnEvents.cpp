#include "VelkarnEvents.h"

#include <cstdio>

#include "AEConsole.h"
#include "AELocale.h"

std::string EventTime() {
  const TAETimeOfDay t = LocalTimeOfDay();
  const char sep = LocaleTimeSeparator();
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d%c%02d%c%02d", t.Hour, sep, t.Minute, sep, t.Second);
  return buf;
}
