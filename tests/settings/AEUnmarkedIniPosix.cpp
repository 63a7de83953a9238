#include "AEUnmarkedIni.h"

// Linux takes well-formed UTF-8 as it is and any other bytes as Windows-1252, so both
// files give the same name.
TUnmarkedIniUsers UnmarkedIniUsers() {
  const std::string user = "Agent\xC3\xB8" "42\xE2\x82\xAC";
  return {user, user};
}
