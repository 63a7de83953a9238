// The UDP sender's destination: digits are used as they are, a name is looked up off the
// sending thread, and the outcome is told once per change.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AEErrors.h"
#include "AETestUdp.h"
#include "AEUdp.h"
#include "common/AEScriptedResolver.h"

using namespace std::chrono_literals;

namespace {

const std::vector<std::uint8_t> kBytes{1, 2, 3, 4};

// The reports of a sender, waited for by the test.
class TReports {
 public:
  TAEUdpSender::TOnResolve Fn() {
    return [this](bool resolved, const std::string& text) {
      std::lock_guard lock(FLock);
      FSeen.push_back((resolved ? "ok " : "fail ") + text);
      FChanged.notify_all();
    };
  }
  std::vector<std::string> WaitFor(std::size_t n) {
    std::unique_lock lock(FLock);
    FChanged.wait_for(lock, 10s, [&] { return FSeen.size() >= n; });
    return FSeen;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<std::string> FSeen;  // guarded by FLock
};

// Sends until one gets through, within a deadline; false when none did.
bool SendUntilDelivered(TAEUdpSender& sender, TTestUdpReceiver& udp) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  std::vector<std::uint8_t> d;
  while (std::chrono::steady_clock::now() < deadline) {
    try {
      sender.Send(kBytes);
    } catch (const EAEOsError&) {
      std::this_thread::sleep_for(5ms);  // the lookup thread has not answered yet
      continue;
    }
    return udp.Receive(d, 2000) && d == kBytes;
  }
  return false;
}

}  // namespace

TEST(UdpSender, AnAddressInDigitsIsNeverLookedUp) {
  TTestUdpReceiver udp;
  TScriptedResolver resolver({""});
  TAEUdpSender sender("127.0.0.1", udp.Port(), {}, resolver.Fn());
  sender.Start();
  sender.Send(kBytes);
  std::vector<std::uint8_t> d;
  ASSERT_TRUE(udp.Receive(d, 2000));
  EXPECT_EQ(d, kBytes);
  // IPv6 digits: the loopback may not take IPv6 here, but the text is never a name.
  TAEUdpSender six("::1", udp.Port(), {}, resolver.Fn());
  six.Start();
  try {
    six.Send(kBytes);
  } catch (const EAEOsError& e) {
    EXPECT_EQ(std::string(e.what()).find("not resolved"), std::string::npos) << e.what();
  }
  EXPECT_EQ(resolver.Calls(), 0);
}

TEST(UdpSender, ANameIsLookedUpInTheBackgroundWhileSendsFailAtOnce) {
  TTestUdpReceiver udp;
  TScriptedResolver resolver({"127.0.0.1"}, /*gated=*/true);
  TReports reports;
  TAEUdpSender sender("collector.test", udp.Port(), reports.Fn(), resolver.Fn());
  sender.Start();
  ASSERT_TRUE(resolver.WaitCalls(1));
  // The lookup hangs; every send meanwhile fails at once, naming the destination.
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) {
    try {
      sender.Send(kBytes);
      FAIL() << "sent without an address";
    } catch (const EAEOsError& e) {
      EXPECT_NE(std::string(e.what()).find("collector.test:" + std::to_string(udp.Port())), std::string::npos)
          << e.what();
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - began, 2s) << "a send waited for the lookup";
  EXPECT_EQ(resolver.Calls(), 1) << "one lookup at a time";
  resolver.Open();
  EXPECT_TRUE(SendUntilDelivered(sender, udp));
  EXPECT_EQ(resolver.Calls(), 1);
  EXPECT_TRUE(reports.WaitFor(0).empty()) << "a first success is no change to tell";
}

TEST(UdpSender, AFailedLookupIsToldOnceRetriedAfterTheIntervalAndTheSuccessIsTold) {
  TTestUdpReceiver udp;
  TScriptedResolver resolver({"", "", "127.0.0.1"});
  TReports reports;
  TAEUdpSender sender("collector.test", udp.Port(), reports.Fn(), resolver.Fn(), 300ms);
  sender.Start();
  std::vector<std::string> seen = reports.WaitFor(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], "fail cannot resolve collector.test: scripted");
  // Within the interval, sends do not start another lookup.
  for (int i = 0; i < 50; ++i) EXPECT_THROW(sender.Send(kBytes), EAEOsError);
  EXPECT_EQ(resolver.Calls(), 1);
  // The second lookup fails again (told no more), the third finds the address.
  EXPECT_TRUE(SendUntilDelivered(sender, udp));
  EXPECT_EQ(resolver.Calls(), 3);
  seen = reports.WaitFor(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], "ok 127.0.0.1");
}

TEST(UdpSender, WithTheDefaultIntervalALookupIsNotRepeatedWithinTenSeconds) {
  TScriptedResolver resolver({});
  TReports reports;
  TAEUdpSender sender("collector.test", 9, reports.Fn(), resolver.Fn());
  sender.Start();
  ASSERT_EQ(reports.WaitFor(1).size(), 1u);
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) EXPECT_THROW(sender.Send(kBytes), EAEOsError);
  ASSERT_LT(std::chrono::steady_clock::now() - began, 9s);
  EXPECT_EQ(resolver.Calls(), 1);
}

TEST(UdpSender, TheSystemResolverFailsOnAnInvalidNameWithoutHoldingUpSends) {
  TReports reports;
  TAEUdpSender sender("velkarn-test.invalid", 9, reports.Fn());
  sender.Start();
  const std::vector<std::string> seen = reports.WaitFor(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].rfind("fail cannot resolve velkarn-test.invalid: ", 0), 0u) << seen[0];
  EXPECT_THROW(sender.Send(kBytes), EAEOsError);
}
