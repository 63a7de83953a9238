// The held port that tests hand to a broker, or keep as a port where nothing listens:
// tests run side by side, and a port picked and let go can be picked again by another.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "AESocket.h"
#include "common/AETestListener.h"

namespace {

TEST(HeldPort, NoFreePortPickHandsItOut) {
  // 128 of the system's ~14000 picks held: a port let go would come back about 14 times.
  std::vector<TAEHeldPort> held;
  std::set<std::uint16_t> ports;
  for (int i = 0; i < 128; ++i) {
    held.push_back(TAEHeldPort::Loopback());
    ports.insert(held.back().Port());
  }
  ASSERT_EQ(ports.size(), held.size());
  int handedOut = 0;
  for (int i = 0; i < 1500; ++i) {
    const TAETcpListener picked = TAETcpListener::Loopback();
    handedOut += static_cast<int>(ports.count(picked.Port()));
  }
  EXPECT_EQ(handedOut, 0);
}

TEST(HeldPort, RefusesAConnection) {
  const TAEHeldPort held = TAEHeldPort::Loopback();
  EXPECT_THROW(TAESocket::Connect("127.0.0.1", held.Port(), 5000), EAESocketError);
}

}  // namespace
