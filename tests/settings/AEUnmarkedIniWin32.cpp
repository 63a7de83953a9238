#include <windows.h>

#include <gtest/gtest.h>

#include "AEUnmarkedIni.h"

// Windows reads a file without a mark in the ANSI code page. The expectations below are
// those of code page 1252, which Wine chooses for an English or C locale; the test
// below says so when the system runs in another one.
TUnmarkedIniUsers UnmarkedIniUsers() {
  return {"Agent\xC3\x83\xC2\xB8" "42\xC3\xA2\xE2\x80\x9A\xC2\xAC",  // AgentÃ¸42â‚¬
          "Agent\xC3\xB8" "42\xE2\x82\xAC"};
}

TEST(UnmarkedIni, SystemRunsInAnsiCodePage1252) { EXPECT_EQ(GetACP(), 1252u); }
