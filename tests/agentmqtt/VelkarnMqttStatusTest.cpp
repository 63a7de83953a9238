// The MQTT parts of the status line and of the tray's status text.
#include <gtest/gtest.h>

#include "VelkarnStatus.h"

TEST(MqttStatus, LineAndTrayPartsFollowTheClientsState) {
  struct TCase {
    bool Connected;
    std::int32_t Queued;
    std::int64_t Dropped, Reconnects;
    bool Duplicate;
    const char* Line;
    const char* Tray;
  };
  const TCase cases[] = {
      {true, 0, 0, 0, false, "  | mqtt up queued 0 dropped 0 reconnects 0", ", server OK"},
      {false, 812, 4000000000LL, 17, false, "  | mqtt DOWN queued 812 dropped 4000000000 reconnects 17",
       ", server OFFLINE"},
      {false, 3, 0, 5, true, "  | mqtt DOWN queued 3 dropped 0 reconnects 5  LOGIN USED BY ANOTHER AGENT?",
       ", server OFFLINE, LOGIN USED BY ANOTHER AGENT?"},
      {true, 1, 2, 3, true, "  | mqtt up queued 1 dropped 2 reconnects 3  LOGIN USED BY ANOTHER AGENT?",
       ", server OK, LOGIN USED BY ANOTHER AGENT?"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Line);
    TAEMqttStats s;
    s.Connected = c.Connected;
    s.Queued = c.Queued;
    s.Dropped = c.Dropped;
    s.Reconnects = c.Reconnects;
    s.DuplicateSuspected = c.Duplicate;
    s.Sent = 99;  // neither part shows it
    EXPECT_EQ(MqttStatusPart(s), c.Line);
    EXPECT_EQ(MqttStatusText(s), c.Tray);
  }
}
