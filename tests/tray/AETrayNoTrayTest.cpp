// Outside Windows there is no tray: creating one reports at once that there is no window,
// with an error code for the owner's message, and never calls back.
#include <gtest/gtest.h>

#include "AETray.h"

TEST(TrayWithoutShell, CreationReportsNoWindowAndNeverCallsBack) {
  int statusCalls = 0;
  int exitCalls = 0;
  {
    TAETray tray("KIVU Velkarn 1", [&] { ++statusCalls; return std::string("hits 0, errors 0"); },
                 [&] { ++exitCalls; }, "https://console.example.net/");
    EXPECT_EQ(tray.Wnd(), 0u);
    EXPECT_NE(tray.LastError(), 0u);
    EXPECT_TRUE(tray.Close());
    EXPECT_TRUE(tray.Close());
  }
  EXPECT_EQ(statusCalls, 0);
  EXPECT_EQ(exitCalls, 0);
}
