// What this platform makes of an INI file without a byte-order mark whose [Mqtt] User
// is Agentø42€, saved once as UTF-8 and once as Windows-1252.
#pragma once

#include <string>

struct TUnmarkedIniUsers {
  std::string FromUtf8;
  std::string FromWindows1252;
};

TUnmarkedIniUsers UnmarkedIniUsers();
