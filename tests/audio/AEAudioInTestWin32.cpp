// What only the waveIn backend shows under Wine: Wine's ALSA driver offers the test
// device as one recording device, and the platform's own error text.
#include <gtest/gtest.h>

#include "AEAudioIn.h"
#include "AEErrors.h"
#include "AETestCapture.h"

using namespace std::chrono_literals;

namespace {

TEST(AudioInWaveIn, OpensTheOneDeviceByNumberAndRefusesTheNext) {
  TAETempDir dir;
  const std::vector<std::int16_t> file = NoiseSamples(2000, 17);
  ServeCaptureFile(dir, file);
  const std::vector<std::string> names = TAEAudioIn::DeviceNames();
  ASSERT_EQ(names.size(), 1u) << testing::PrintToString(names);
  {
    TAEAudioIn in(0, 8000, 250, 16);
    in.Start();
    const std::vector<std::int16_t> all = Concat(PollUntil(in, 5s, [](const auto& got) { return got.size() >= 2; }));
    ASSERT_GE(all.size(), 500u);
    EXPECT_TRUE(std::equal(all.begin(), all.begin() + 500, file.begin()));
  }
  try {
    TAEAudioIn in(1, 8000, 250, 4);
    ADD_FAILURE() << "opened device 1 of 1";
  } catch (const EAEError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Audio input: open failed (2) A device ID has been used that is out of range for your system.");
  }
}

}  // namespace
